// The receive path. A libnats delivery thread builds the record of a message, appends it to
// the object's queue (waiting while the queue is full) and wakes a reader if one waits; recv
// takes the oldest record. recv_sync asks libnats for the next message of one subscription.
#include <cstdlib>
#include <cstring>

#include "internal/context.h"
#include "internal/core.h"
#include "internal/logging.h"
#include "internal/subject.h"

namespace vek_nats::detail {

namespace {

// The caller's strings keep their capacity, so that a reader that reuses its NATSSvcMsg
// allocates only when a message outgrows the last; one of the same size (a subject, a payload
// of fixed size) is only copied over.
void set_text(std::string& dst, const char* src, size_t len) {
    if (src == nullptr || len == 0) {
        dst.clear();
    } else if (len == dst.size()) {
        std::memcpy(&dst[0], src, len);
    } else {
        dst.assign(src, len);
    }
}

size_t payload_bytes(std::int32_t dataLen) {
    return dataLen > 0 ? static_cast<size_t>(dataLen) : 0;
}

// The payload as records keep it: every byte with binary_payloads, else text, which ends at
// its first zero byte but never runs past the reported length.
size_t kept_bytes(const char* data, std::int32_t dataLen, bool binary) {
    if (data == nullptr) return 0;
    return binary ? payload_bytes(dataLen) : strnlen(data, payload_bytes(dataLen));
}

size_t text_bytes(const char* text) {
    return text != nullptr ? strlen(text) : 0;
}

// Appends the headers named by `keys` to `out`, each name's values in order, and frees `keys`;
// false when none was appended. Out of line: most messages have no headers, which
// natsMsgHeader_Keys alone tells (read_headers).
[[gnu::noinline]] bool append_headers(natsMsg* msg, const char** keys, int count,
                                      NATSSvcHeaders& out) {
    for (int i = 0; i < count; ++i) {
        const char** values = nullptr;
        int n = 0;
        if (natsMsgHeader_Values(msg, keys[i], &values, &n) != NATS_OK) continue;
        for (int j = 0; j < n; ++j) out.emplace_back(keys[i], values[j]);
        free(static_cast<void*>(values));
    }
    free(static_cast<void*>(keys));
    return !out.empty();
}

// Appends the message's headers to `out`, each name's values in order; false when it has none.
inline bool read_headers(natsMsg* msg, NATSSvcHeaders& out) {
    const char** keys = nullptr;
    int count = 0;
    return natsMsgHeader_Keys(msg, &keys, &count) == NATS_OK &&
           append_headers(msg, keys, count, out);
}

}  // namespace

void core::fill_record(NATSSvcMsg& rec, natsMsg* msg, bool with_inbox) const {
    const char* subject = natsMsg_GetSubject(msg);
    const char* data = natsMsg_GetData(msg);
    rec.dataLen = natsMsg_GetDataLength(msg);
    set_text(rec.subject, subject, text_bytes(subject));
    set_text(rec.data, data, kept_bytes(data, rec.dataLen, binary.load(std::memory_order_relaxed)));
    rec.recv_ts = nats_Now();
    if (with_inbox) {
        const char* reply = natsMsg_GetReply(msg);
        set_text(rec.inbox, reply, text_bytes(reply));
    }
    rec.headers.clear();
    read_headers(msg, rec.headers);
}

void core::fill_record(record& rec, natsMsg* msg, bool with_inbox) const {
    const char* subject = natsMsg_GetSubject(msg);
    const char* data = natsMsg_GetData(msg);
    const char* reply = with_inbox ? natsMsg_GetReply(msg) : nullptr;
    rec.dataLen = natsMsg_GetDataLength(msg);
    const size_t subject_size = text_bytes(subject);
    const size_t data_size = kept_bytes(data, rec.dataLen, binary.load(std::memory_order_relaxed));
    const size_t inbox_size = text_bytes(reply);
    rec.subject_size = static_cast<std::uint32_t>(subject_size);
    rec.data_size = static_cast<std::uint32_t>(data_size);
    rec.inbox_size = static_cast<std::uint32_t>(inbox_size);
    const size_t inline_data = rec.large() ? 0 : data_size;
    rec.bytes.reset(new char[subject_size + inline_data + inbox_size]);
    char* at = rec.bytes.get();
    if (subject_size > 0) std::memcpy(at, subject, subject_size);
    if (inline_data > 0) std::memcpy(at + subject_size, data, inline_data);
    if (inbox_size > 0) std::memcpy(at + subject_size + inline_data, reply, inbox_size);
    rec.recv_ts = nats_Now();
    NATSSvcHeaders headers;
    if (read_headers(msg, headers) || rec.large()) {
        rec.extra = std::make_unique<record::out_of_line>();
        rec.extra->headers = std::move(headers);
        if (rec.large()) rec.extra->data.assign(data, data_size);
    }
}

void context::on_message(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    context* ctx = static_cast<sub_ref*>(closure)->ctx;
    if (!ctx->enter()) {  // the object let go of this connection
        natsMsg_Destroy(msg);
        return;
    }
    ctx->owner->deliver(msg);
    ctx->leave();
}

void core::deliver(natsMsg* msg) {
    record rec;
    fill_record(rec, msg, keep_inbox);
    natsMsg_Destroy(msg);
    bool wake = false;
    {
        std::unique_lock<std::mutex> lock(svc.m_msg_mutex);
        // Full: this delivery thread waits, so the backlog stays in libnats, whose pending
        // limits decide what happens to it. destroy() ends the wait.
        const auto full = [this] {
            return (max_msgs != 0 && records.size() >= max_msgs) ||
                   (max_bytes != 0 && queue_bytes >= max_bytes);
        };
        while (full() && !svc.m_terminate) {
            ++writers_waiting;
            space_cv.wait(lock);
            --writers_waiting;
        }
        if (full()) return;  // torn down: nobody will take it
        queue_bytes += payload_bytes(rec.dataLen);
        records.push_back(std::move(rec));
        wake = readers_waiting > 0;
    }
    if (wake) svc.m_msg_cv.notify_one();
}

received core::recv(const char* subject, std::int32_t* remembered, NATSSvcMsg& msg) {
    std::unique_lock<std::mutex> lock(svc.m_msg_mutex);
    // The slot this call watches is its own: concurrent callers naming other subjects must
    // not move it.
    int watched = -1;
    if (remembered != nullptr) {
        const int found = find_slot(subject);
        if (found >= 0) *remembered = found;
        watched = *remembered;
    }
    const auto freed = [&] { return watched >= 0 && svc.m_sub_list[watched].subject_name.empty(); };
    // Flags and slots change under m_msg_mutex, so nothing that ends the wait slips in
    // between this test and the wait.
    while (records.empty() && !drained && !svc.m_conn_error && !svc.m_terminate && !freed()) {
        ++readers_waiting;
        svc.m_msg_cv.wait(lock);
        --readers_waiting;
    }
    if (svc.m_conn_error) {
        const natsStatus status = svc.m_last_status;
        const svc_status code = connection_status(static_cast<std::uint32_t>(status));
        VEK_LOG("- error: (%u - 0x%08X) subj-> %s", static_cast<unsigned>(status), code,
                shown_subject(subject).c_str());
        return {received::end::reported, code};
    }
    if (svc.m_terminate) {
        VEK_LOG("- oops: terminate, subj-> %s", shown_subject(subject).c_str());
        return {received::end::reported, STATUS_OK};
    }
    if (freed()) return {received::end::unsubscribed, STATUS_OK};
    if (records.empty()) return {received::end::reported, STATUS_OK};  // drained

    record rec = std::move(records.front());
    records.pop_front();
    // Counted before the lock goes: drain must never see it neither queued nor taken.
    if (rec.inbox_size > 0) unanswered.fetch_add(1, std::memory_order_relaxed);
    queue_bytes -= payload_bytes(rec.dataLen);
    const size_t left = records.size();
    // A delivery thread that waits for room is woken only once half the bound is free: waking
    // it for every record taken from a full queue costs two context switches per message.
    const bool wake = writers_waiting > 0 && (max_msgs == 0 || left <= max_msgs / 2) &&
                      (max_bytes == 0 || queue_bytes <= max_bytes / 2);
    lock.unlock();
    if (wake) space_cv.notify_all();
    // Copied outside the lock into the caller's strings, which keep their capacity; a large
    // payload is handed over, and the caller's old one freed with the record.
    const char* at = rec.bytes.get();
    const size_t inline_data = rec.large() ? 0 : rec.data_size;
    msg.subject.assign(at, rec.subject_size);
    if (rec.large()) {
        msg.data.swap(rec.extra->data);
    } else {
        msg.data.assign(at + rec.subject_size, rec.data_size);
    }
    msg.inbox.assign(at + rec.subject_size + inline_data, rec.inbox_size);
    msg.dataLen = rec.dataLen;
    msg.recv_ts = rec.recv_ts;
    msg.reply_data.clear();
    if (rec.extra != nullptr) {
        msg.headers.swap(rec.extra->headers);
    } else {
        msg.headers.clear();
    }
    return {received::end::message, static_cast<svc_status>(msg.dataLen), left};
}

received core::recv_sync(const char* subject, NATSSvcMsg& msg) {
    // A request counts as unanswered before NextMsg, in which libnats counts it delivered: a
    // drain must never see it neither pending nor taken. A drain wakes the wait, so the count
    // held through it costs the drain nothing; it is undone when no request came.
    const bool requests = keep_inbox;
    if (requests) unanswered.fetch_add(1);
    natsMsg* message = nullptr;
    natsStatus s = NATS_OK;
    bool asked = false;
    in_remembered_slot(sync_slot, subject, [&](int i) {
        if (refs[i] == nullptr) return;
        s = natsSubscription_NextMsg(&message, refs[i]->handle, recv_timeout);
        asked = true;
    });
    if (!asked) {
        sub_ref* ref = nullptr;
        {
            std::lock_guard<std::mutex> slots(slot_mutex);
            const int i = find_slot(subject);
            if (i >= 0) ref = refs[i];
            if (ref != nullptr) {
                ref->retain();  // unsubscribe or destroy cannot release it under us
                sync_slot.store(i, std::memory_order_relaxed);
            }
        }
        if (ref == nullptr) {  // no slot holds the subject, or its slot holds no subscription
            if (requests) unanswered.fetch_sub(1);
            VEK_LOG("- error: empty subscription");
            return {received::end::reported, STATUS_NO_SUBSCRIPTION};
        }
        s = natsSubscription_NextMsg(&message, ref->handle, recv_timeout);
        ref->release();
    }
    if (s != NATS_OK) {
        if (requests) unanswered.fetch_sub(1);
        VEK_LOG_NATS(s, " subj-> %s", shown_subject(subject).c_str());
        return {received::end::reported, STATUS_NEXT_MSG};
    }
    fill_record(msg, message, keep_inbox);
    natsMsg_Destroy(message);
    if (requests && msg.inbox.empty()) unanswered.fetch_sub(1);
    return {received::end::message, static_cast<svc_status>(msg.dataLen)};
}

}  // namespace vek_nats::detail

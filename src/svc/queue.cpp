// The receive path of both queue-based roles: a libnats delivery thread builds the record,
// appends it to the object's queue (waiting while the queue is full) and wakes a reader if one
// waits; recv takes the oldest record.
#include <cstring>

#include "internal/context.h"
#include "internal/logging.h"
#include "vek_nats/svc.h"

namespace vek_nats {

namespace {

// A string that must grow is made at its exact size (assign would double the small-string
// capacity, which costs memory in every queued record); one that fits keeps its buffer.
void set_text(std::string& dst, const char* src, size_t len) {
    if (src == nullptr) {
        dst.clear();
    } else if (dst.capacity() < len) {
        dst = std::string(src, len);
    } else {
        dst.assign(src, len);
    }
}

}  // namespace

void CNATSSvc::fill_record(NATSSvcMsg& rec, natsMsg* msg, bool with_inbox) {
    const char* subject = natsMsg_GetSubject(msg);
    const char* data = natsMsg_GetData(msg);
    rec.dataLen = natsMsg_GetDataLength(msg);
    set_text(rec.subject, subject, subject != nullptr ? strlen(subject) : 0);
    // The text ends at the first zero byte but never runs past the reported length.
    const size_t limit = rec.dataLen > 0 ? static_cast<size_t>(rec.dataLen) : 0;
    set_text(rec.data, data, data != nullptr ? strnlen(data, limit) : 0);
    rec.recv_ts = nats_Now();
    if (with_inbox) {
        const char* reply = natsMsg_GetReply(msg);
        set_text(rec.inbox, reply, reply != nullptr ? strlen(reply) : 0);
    }
}

void detail::context::on_message(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* ref = static_cast<sub_ref*>(closure);
    if (!ref->ctx->enter()) {  // the object let go of this connection
        natsMsg_Destroy(msg);
        return;
    }
    ref->ctx->svc->queue_message(msg, ref->with_inbox);
    ref->ctx->leave();
}

void CNATSSvc::queue_message(natsMsg* msg, bool with_inbox) {
    NATSSvcMsg rec;
    fill_record(rec, msg, with_inbox);
    natsMsg_Destroy(msg);
    const size_t bytes = rec.dataLen > 0 ? static_cast<size_t>(rec.dataLen) : 0;
    bool wake = false;
    {
        std::unique_lock<std::mutex> lock(m_msg_mutex);
        // Full: this delivery thread waits, so the backlog stays in libnats, whose pending
        // limits decide what happens to it. destroy() ends the wait.
        const auto full = [this] {
            return (m_max_msgs != 0 && m_msg_queue.size() >= m_max_msgs) ||
                   (m_max_bytes != 0 && m_queue_bytes >= m_max_bytes);
        };
        while (full() && !m_terminate) {
            ++m_writers_waiting;
            m_space_cv.wait(lock);
            --m_writers_waiting;
        }
        if (full()) return;  // torn down: nobody will take it
        m_msg_queue.push_back(std::move(rec));
        m_queue_bytes += bytes;
        wake = m_readers_waiting > 0;
    }
    if (wake) m_msg_cv.notify_one();
}

CNATSSvc::take_result CNATSSvc::take(const char* subject, std::int32_t* remembered, NATSSvcMsg& msg,
                                     size_t* left, natsStatus* status) {
    std::unique_lock<std::mutex> lock(m_msg_mutex);
    // The slot this call watches is its own: concurrent callers naming other subjects must
    // not move it.
    int watched = -1;
    if (remembered != nullptr) {
        const int found = find_slot(subject);
        if (found >= 0) *remembered = found;
        watched = *remembered;
    }
    const auto freed = [&] { return watched >= 0 && m_sub_list[watched].subject_name.empty(); };
    // Flags and slots change under m_msg_mutex, so nothing that ends the wait slips in
    // between this test and the wait.
    while (m_msg_queue.empty() && !m_conn_error && !m_terminate && !freed()) {
        ++m_readers_waiting;
        m_msg_cv.wait(lock);
        --m_readers_waiting;
    }
    if (m_conn_error) {
        *status = m_last_status;
        return take_result::conn_error;
    }
    if (m_terminate) return take_result::terminated;
    if (freed()) return take_result::unsubscribed;

    NATSSvcMsg rec = std::move(m_msg_queue.front());
    m_msg_queue.pop_front();
    m_queue_bytes -= rec.dataLen > 0 ? static_cast<size_t>(rec.dataLen) : 0;
    *left = m_msg_queue.size();
    // A delivery thread that waits for room is woken only once half the bound is free: waking
    // it for every record taken from a full queue costs two context switches per message.
    const bool wake = m_writers_waiting > 0 && (m_max_msgs == 0 || *left <= m_max_msgs / 2) &&
                      (m_max_bytes == 0 || m_queue_bytes <= m_max_bytes / 2);
    lock.unlock();
    if (wake) m_space_cv.notify_all();
    // The caller's old strings are freed here, outside the lock.
    msg = std::move(rec);
    return take_result::record;
}

}  // namespace vek_nats

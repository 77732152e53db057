#include "vek_nats/svc.h"

#include <cstring>

#include "internal/logging.h"
#include "internal/registry.h"
#include "internal/security.h"
#include "internal/urls.h"

namespace vek_nats {

std::int32_t CNATSSvc::m_nats_Init_count = 0;
std::mutex CNATSSvc::m_nats_Init_mutex;

namespace {

constexpr const char* DEFAULT_URL = "nats://127.0.0.1:4222";
// Bound on how long the last destructor waits for the client library to finish closing.
constexpr int64_t CLOSE_WAIT_MS = 5000;

// libnats 3.4 refuses a later natsOptions_Create for a while after a plain nats_Close (the
// close runs on in the background), so a process that destroys its last object and then
// connects again would fail. Closing and waiting avoids that; the wait is refused on one of
// the client's own threads, where only the plain close is possible.
void close_nats_library() {
    if (nats_CloseAndWait(CLOSE_WAIT_MS) == NATS_ILLEGAL_STATE) nats_Close();
}

// libnats 3.4 reads out of bounds on an empty URL list and double-frees on a blank one.
bool usable_urls(const char* urls) {
    if (urls == nullptr) return false;
    for (const char* p = urls; *p != '\0'; ++p) {
        if (*p != ' ' && *p != '\t' && *p != ',') return true;
    }
    return false;
}

// natsOptions_SetURL of libnats 3.4 takes one URL only; a comma-separated list (the way to name
// the nodes of a cluster) goes to natsOptions_SetServers instead. Whichever is not used is
// cleared, since the options object is reused by a later connect.
natsStatus set_urls(natsOptions* opts, const std::string& urls) {
    if (!usable_urls(urls.c_str())) return NATS_INVALID_ARG;
    if (urls.find(',') == std::string::npos) {
        natsOptions_SetServers(opts, nullptr, 0);
        return natsOptions_SetURL(opts, urls.c_str());
    }
    std::vector<std::string> list;
    size_t start = 0;
    while (start <= urls.size()) {
        size_t end = urls.find(',', start);
        if (end == std::string::npos) end = urls.size();
        const size_t first = urls.find_first_not_of(" \t", start);
        const size_t last = urls.find_last_not_of(" \t", end == 0 ? 0 : end - 1);
        if (first != std::string::npos && first < end && last >= first) {
            list.push_back(urls.substr(first, last - first + 1));
        }
        start = end + 1;
    }
    std::vector<const char*> servers;
    for (const std::string& url : list) servers.push_back(url.c_str());
    natsOptions_SetURL(opts, nullptr);
    return natsOptions_SetServers(opts, servers.data(), static_cast<int>(servers.size()));
}

}  // namespace

CNATSSvc::CNATSSvc() : m_sub_list(SLOT_COUNT), m_urls(DEFAULT_URL), m_pub_subjects(SLOT_COUNT) {
    VEK_TRACE("");
    detail::registry_add(this);
    std::lock_guard<std::mutex> lock(m_nats_Init_mutex);
    ++m_nats_Init_count;
    VEK_TRACE("- nats_Init_count=%d", m_nats_Init_count);
}

CNATSSvc::~CNATSSvc() {
    VEK_TRACE("");
    destroy();
    // After this no forwarder touches the object, even for callbacks libnats delivers late.
    detail::registry_remove(this);
    std::lock_guard<std::mutex> lock(m_nats_Init_mutex);
    if (m_nats_Init_count > 1) {
        --m_nats_Init_count;
    } else if (m_nats_Init_count == 1) {
        VEK_LOG("- nats_Close()");
        close_nats_library();
        m_nats_Init_count = 0;
    } else if (m_nats_Init_count < 0) {
        VEK_LOG("- error: reset nats_Init_count=%d", m_nats_Init_count);
        m_nats_Init_count = 0;
    }
    VEK_TRACE("- nats_Init_count=%d", m_nats_Init_count);
}

svc_status CNATSSvc::init_options(const NATSSvcParam& param) {
    natsStatus s = NATS_OK;
    if (m_opts == nullptr) {
        s = natsOptions_Create(&m_opts);
        if (s != NATS_OK) {
            VEK_LOG_NATS(s, " natsOptions_Create()");
            return STATUS_OPTIONS_CREATE;
        }
    }
    s = set_urls(m_opts, m_urls);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " natsOptions_SetURL()");
        return STATUS_OPTIONS_URL;
    }
    s = natsOptions_SetMaxReconnect(m_opts, param.max_reconnect);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " natsOptions_SetMaxReconnect()");
        return STATUS_OPTIONS_MAX_RECONNECT;
    }
    s = natsOptions_SetReconnectWait(m_opts, param.reconnect_wait);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " natsOptions_SetReconnectWait()");
        return STATUS_OPTIONS_RECONNECT_WAIT;
    }
    s = natsOptions_SetSendAsap(m_opts, param.send_asap);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " natsOptions_SetSendAsap()");
        return STATUS_OPTIONS_SEND_ASAP;
    }
    s = natsOptions_SetClosedCB(m_opts, closed_callback_wrapper, this);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " natsOptions_SetClosedCB()");
        return STATUS_OPTIONS_CLOSED_CB;
    }
    s = natsOptions_SetDisconnectedCB(m_opts, disconnected_callback_wrapper, this);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " natsOptions_SetDisconnectedCB()");
        return STATUS_OPTIONS_DISCONNECTED_CB;
    }
    if (!m_param.no_error_handler) {
        s = natsOptions_SetErrorHandler(m_opts, error_callback_wrapper, this);
        if (s != NATS_OK) {
            VEK_LOG_NATS(s, " natsOptions_SetErrorHandler()");
            return STATUS_OPTIONS_ERROR_HANDLER;
        }
    }
    return detail::apply_security(__func__, m_opts, m_urls, param);
}

svc_status CNATSSvc::init_statistic(const NATSSvcParam&) {
    if (m_stats != nullptr) return STATUS_OK;
    const natsStatus s = natsStatistics_Create(&m_stats);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " natsStatistics_Create()");
        return STATUS_STATISTICS_CREATE;
    }
    return STATUS_OK;
}

svc_status CNATSSvc::init_subscription(const NATSSvcParam&) {
    for (const natsSubList& slot : m_sub_list) {
        if (slot.subscription == nullptr) {
            VEK_LOG("- error: empty subscription");
            return STATUS_NO_SUBSCRIPTION;
        }
        const natsStatus s = natsSubscription_SetPendingLimits(slot.subscription, -1, -1);
        if (s != NATS_OK) {
            VEK_LOG_NATS(s, " natsSubscription_SetPendingLimits()");
            return STATUS_PENDING_LIMITS;
        }
    }
    return STATUS_OK;
}

svc_status CNATSSvc::connect(const char* urls, const NATSSvcParam& param) {
    m_urls = urls != nullptr ? urls : "";
    m_param = param;
    // The list may carry passwords or tokens; the log gets it masked.
    const std::string masked = detail::mask_url_secrets(detail::printable(urls));
    const char* shown = masked.c_str();

    svc_status ret = init_options(param);
    if (ret != STATUS_OK) {
        VEK_LOG("- error: init_options() ret=0x%08X, urls=%s", ret, shown);
        return ret;
    }
    ret = init_statistic(param);
    if (ret != STATUS_OK) {
        VEK_LOG("- error: init_statistic() ret=0x%08X, urls=%s", ret, shown);
        return ret;
    }
    long elapsed = 0;
    if (m_conn == nullptr) {
        const int64_t start = nats_Now();
        const natsStatus s = natsConnection_Connect(&m_conn, m_opts);
        if (s != NATS_OK) {
            m_conn = nullptr;
            VEK_LOG_NATS(s, " natsConnection_ConnectTo() urls=%s%s", shown,
                         detail::last_error_text().c_str());
            return STATUS_CONNECT;
        }
        elapsed = static_cast<long>(nats_Now() - start);
    }
    VEK_TRACE("- urls=%s, elapsed=%ld ms", shown, elapsed);
    return STATUS_OK;
}

svc_status CNATSSvc::close() {
    if (m_conn != nullptr) natsConnection_Close(m_conn);
    return STATUS_OK;
}

svc_status CNATSSvc::destroy() {
    VEK_LOG("- hello");
    {
        std::lock_guard<std::mutex> msg_lock(m_msg_mutex);
        std::lock_guard<std::mutex> state_lock(m_state_mutex);
        m_terminate = true;
        m_tearing_down = true;
    }
    m_msg_cv.notify_all();

    // Closing first makes libnats stop delivering and wakes every NextMsg waiting on one of
    // our subscriptions (libnats 3.4 can crash when subscriptions are destroyed while their
    // messages are still being delivered); then wait until no synchronous reader uses a slot.
    if (m_conn != nullptr) natsConnection_Close(m_conn);
    {
        std::unique_lock<std::mutex> lock(m_msg_mutex);
        m_msg_cv.wait(lock, [this] { return m_sync_readers == 0; });
    }

    if (m_stats != nullptr) {
        natsStatistics_Destroy(m_stats);
        m_stats = nullptr;
    }
    std::vector<natsSubscription*> retired;
    {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        retired.swap(m_retired);
    }
    for (natsSubscription* sub : retired) natsSubscription_Destroy(sub);
    for (int i = 0; i < SLOT_COUNT; ++i) {
        natsSubscription* sub = m_sub_list[i].subscription;
        if (sub != nullptr) natsSubscription_Destroy(sub);
        clear_slot(i);
    }
    if (m_opts != nullptr) {
        natsOptions_Destroy(m_opts);
        m_opts = nullptr;
    }
    if (m_conn != nullptr) {
        natsConnection_Destroy(m_conn);
        m_conn = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        m_tearing_down = false;
    }
    VEK_LOG("- bye");
    return STATUS_OK;
}

svc_status CNATSSvc::flush(std::int64_t timeout_ms) {
    if (m_conn == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    const natsStatus s = natsConnection_FlushTimeout(m_conn, timeout_ms);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " timeout=%ld ms", static_cast<long>(timeout_ms));
        return STATUS_FLUSH;
    }
    return STATUS_OK;
}

std::size_t CNATSSvc::queued() {
    std::lock_guard<std::mutex> lock(m_msg_mutex);
    return m_msg_queue.size();
}

// ---- helpers shared by the roles ----

int CNATSSvc::find_slot(const char* subject) const {
    if (subject == nullptr) return -1;
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (m_sub_list[i].subject_name == subject) return i;
    }
    return -1;
}

int CNATSSvc::find_free_slot() const {
    for (int i = 0; i < SLOT_COUNT; ++i) {
        if (m_sub_list[i].subject_name.empty() && m_sub_list[i].subscription == nullptr) return i;
    }
    return -1;
}

void CNATSSvc::fill_slot(int index, natsSubscription* sub, const char* subject) {
    std::lock_guard<std::mutex> lock(m_msg_mutex);
    m_sub_list[index].subscription = sub;
    m_sub_list[index].subject_name = subject;
}

svc_status CNATSSvc::subscribe_slot(const char* func, const char* subject, const char* group,
                                    natsMsgHandler cb, void* closure, svc_status fail_code,
                                    int* index) {
    if (m_conn == nullptr) {
        VEK_LOG_AS(func, "- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    // Error lines of a queue subscription name its group too.
    const std::string shown_group =
        group != nullptr ? std::string(", group-> ") + group : std::string();
    *index = find_free_slot();
    if (*index < 0) {
        VEK_LOG_AS(func, "- error: full size subj-> %s%s", detail::printable(subject),
                   shown_group.c_str());
        return fail_code;
    }
    // Made into a local first: the slot is filled whole, under the lock, once it is valid.
    natsSubscription* sub = nullptr;
    natsStatus s = NATS_OK;
    if (group == nullptr) {
        s = cb != nullptr ? natsConnection_Subscribe(&sub, m_conn, subject, cb, closure)
                          : natsConnection_SubscribeSync(&sub, m_conn, subject);
    } else {
        s = cb != nullptr
                ? natsConnection_QueueSubscribe(&sub, m_conn, subject, group, cb, closure)
                : natsConnection_QueueSubscribeSync(&sub, m_conn, subject, group);
    }
    if (s != NATS_OK) {
        VEK_LOG_AS(func, "- error: (%u - %s) subj-> %s%s", static_cast<unsigned>(s),
                   natsStatus_GetText(s), detail::printable(subject), shown_group.c_str());
        return fail_code;
    }
    fill_slot(*index, sub, subject);
    return STATUS_OK;
}

bool CNATSSvc::next_message(const char* func, const char* subject, NATSSvcMsg& msg,
                            bool with_inbox, svc_status* result) {
    int index = -1;
    // Pinned until left: destroy() and unsubscribe() on other threads wait for this reader
    // before they release the handle.
    natsSubscription* sub = enter_sync_read(subject, &index);
    if (sub == nullptr) {  // no slot holds the subject, or its slot holds no subscription
        VEK_LOG_AS(func, "- error: empty subscription");
        *result = STATUS_NO_SUBSCRIPTION;
        return false;
    }
    natsMsg* message = nullptr;
    const natsStatus s = natsSubscription_NextMsg(&message, sub, m_param.recv_timeout);
    if (s != NATS_OK) {
        leave_sync_read();
        VEK_LOG_AS(func, "- error: (%u - %s) subj-> %s", static_cast<unsigned>(s),
                   natsStatus_GetText(s), detail::printable(subject));
        *result = STATUS_NEXT_MSG;
        return false;
    }
    fill_record(msg, message, with_inbox);
    natsMsg_Destroy(message);
    leave_sync_read();
    *result = static_cast<svc_status>(msg.dataLen);
    return true;
}

void CNATSSvc::clear_slot(int index) {
    {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        m_sub_list[index].subscription = nullptr;
        m_sub_list[index].subject_name.clear();
    }
    m_msg_cv.notify_one();
}

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

void CNATSSvc::queue_message(natsMsg* msg, bool with_inbox) {
    NATSSvcMsg rec;
    fill_record(rec, msg, with_inbox);
    {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        m_msg_queue.push_back(std::move(rec));
    }
    m_msg_cv.notify_one();
    natsMsg_Destroy(msg);
}

size_t CNATSSvc::take_front(std::unique_lock<std::mutex>& lock, NATSSvcMsg& msg) {
    NATSSvcMsg rec = std::move(m_msg_queue.front());
    m_msg_queue.pop_front();
    const size_t left = m_msg_queue.size();
    lock.unlock();
    msg = std::move(rec);
    return left;
}

natsSubscription* CNATSSvc::enter_sync_read(const char* subject, int* index) {
    std::lock_guard<std::mutex> lock(m_msg_mutex);
    // While destroy() runs, its slots are about to be released: behave as if already free.
    *index = m_tearing_down ? -1 : find_slot(subject);
    if (*index < 0) return nullptr;
    natsSubscription* sub = m_sub_list[*index].subscription;
    if (sub != nullptr) ++m_sync_readers;
    return sub;
}

void CNATSSvc::leave_sync_read() {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        wake = --m_sync_readers == 0 && m_tearing_down;
    }
    if (wake) m_msg_cv.notify_all();
}

void CNATSSvc::release_subscription(natsSubscription* sub) {
    if (sub == nullptr) return;
    // Not destroyed here: libnats 3.4 may still be handing a message to this subscription on
    // its reader thread (it aborts when the handle goes meanwhile), and a recv_sync on another
    // thread may still wait on it. destroy() releases it once the connection is closed.
    std::lock_guard<std::mutex> lock(m_msg_mutex);
    m_retired.push_back(sub);
}

void CNATSSvc::raise_conn_error(natsStatus status) {
    {
        std::lock_guard<std::mutex> msg_lock(m_msg_mutex);
        std::lock_guard<std::mutex> state_lock(m_state_mutex);
        m_last_status = status;
        m_conn_error = true;
    }
    m_msg_cv.notify_all();
}

void CNATSSvc::record_published(const char* subject) {
    // Once all five entries are taken, publishing no longer touches the lock.
    if (m_pub_full.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(m_pub_mutex);
    for (std::string& entry : m_pub_subjects) {
        if (entry.empty()) {
            entry = detail::printable(subject);
            if (&entry == &m_pub_subjects.back()) m_pub_full.store(true, std::memory_order_release);
            return;
        }
    }
    m_pub_full.store(true, std::memory_order_release);
}

void CNATSSvc::retire_role() { detail::registry_retire_role(this); }

CNATSSvc::live_guard::live_guard(const CNATSSvc* obj, bool whole_role)
    : m_obj(obj), m_whole_role(whole_role), m_alive(detail::registry_enter(obj, whole_role)) {}

CNATSSvc::live_guard::~live_guard() {
    if (m_alive) detail::registry_leave(m_obj, m_whole_role);
}

}  // namespace vek_nats

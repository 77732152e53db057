#include "vek_nats/svc.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "internal/context.h"
#include "internal/core.h"
#include "internal/logging.h"
#include "internal/security.h"
#include "internal/subject.h"
#include "internal/urls.h"
#include "internal/write_bound.h"

namespace vek_nats {

std::int32_t CNATSSvc::m_nats_Init_count = 0;
std::mutex CNATSSvc::m_nats_Init_mutex;

namespace {

constexpr const char* DEFAULT_URL = "nats://127.0.0.1:4222";
// Bound on how long the last destructor waits for the client library to finish closing.
constexpr int64_t CLOSE_WAIT_MS = 5000;
// Bound on how long destroy() and close() let awaited answers arrive before the close.
constexpr int ANSWER_GRACE_MS = 250;
// Bound on the round trip that lets unsubscribe release a handle at once.
constexpr int64_t UNSUBSCRIBE_FLUSH_MS = 1000;
// libnats' own defaults of the connection controls.
constexpr int64_t DEFAULT_PING_INTERVAL_MS = 120000;
constexpr int DEFAULT_MAX_PINGS_OUT = 2;
constexpr int64_t DEFAULT_JITTER_MS = 100;
constexpr int64_t DEFAULT_JITTER_TLS_MS = 1000;
constexpr int DEFAULT_RECONNECT_BUFFER = 8 * 1024 * 1024;

// libnats 3.4 refuses a later natsOptions_Create for a while after a plain nats_Close (the
// close runs on in the background), so a process that destroys its last object and then
// connects again would fail. Closing and waiting avoids that; the wait is refused on one of
// the client's own threads, where only the plain close is possible.
void close_nats_library() {
    if (nats_CloseAndWait(CLOSE_WAIT_MS) == NATS_ILLEGAL_STATE) nats_Close();
}

// What init_options applies, in order; each row names the call its error line reports.
struct option_args {
    natsOptions* opts;
    const NATSSvcParam& param;
    detail::context* ctx;
};
struct option_step {
    const char* call;
    svc_status code;
    natsStatus (*apply)(const option_args&);
};
const option_step OPTION_STEPS[] = {
    {"natsOptions_SetMaxReconnect()", STATUS_OPTIONS_MAX_RECONNECT,
     [](const option_args& a) {
         return natsOptions_SetMaxReconnect(a.opts, a.param.max_reconnect);
     }},
    {"natsOptions_SetReconnectWait()", STATUS_OPTIONS_RECONNECT_WAIT,
     [](const option_args& a) {
         return natsOptions_SetReconnectWait(a.opts, a.param.reconnect_wait);
     }},
    {"natsOptions_SetSendAsap()", STATUS_OPTIONS_SEND_ASAP,
     [](const option_args& a) { return natsOptions_SetSendAsap(a.opts, a.param.send_asap); }},
    {"natsOptions_SetClosedCB()", STATUS_OPTIONS_CLOSED_CB,
     [](const option_args& a) {
         return natsOptions_SetClosedCB(a.opts, detail::context::on_closed, a.ctx);
     }},
    {"natsOptions_SetDisconnectedCB()", STATUS_OPTIONS_DISCONNECTED_CB,
     [](const option_args& a) {
         return natsOptions_SetDisconnectedCB(a.opts, detail::context::on_disconnected, a.ctx);
     }},
    {"natsOptions_SetErrorHandler()", STATUS_OPTIONS_ERROR_HANDLER,
     [](const option_args& a) {
         return a.param.no_error_handler
                    ? NATS_OK
                    : natsOptions_SetErrorHandler(a.opts, detail::context::on_error, a.ctx);
     }},
    {"natsOptions_SetReconnectedCB()", STATUS_OPTIONS_RECONNECTED_CB,
     [](const option_args& a) {
         return natsOptions_SetReconnectedCB(a.opts, detail::context::on_reconnected, a.ctx);
     }},
    // Without it a publish to a server that stopped reading blocks in send() for good.
    {"natsOptions_SetWriteDeadline()", STATUS_OPTIONS_WRITE_DEADLINE,
     [](const option_args& a) {
         return natsOptions_SetWriteDeadline(a.opts, a.param.write_deadline);
     }},
    // The connection controls. Zero (or -1) sets libnats' own default, so that options reused
    // after a failed connect lose what the earlier one set.
    {"natsOptions_SetName()", STATUS_OPTIONS_NAME,
     [](const option_args& a) {
         // It goes into the CONNECT line's JSON as it is.
         if (!detail::plain_text(a.param.name)) return NATS_INVALID_ARG;
         const std::string name = detail::json_escaped(a.param.name);
         return natsOptions_SetName(a.opts, name.empty() ? nullptr : name.c_str());
     }},
    {"natsOptions_SetPingInterval()", STATUS_OPTIONS_PING_INTERVAL,
     [](const option_args& a) {
         if (a.param.ping_interval < 0) return NATS_INVALID_ARG;
         return natsOptions_SetPingInterval(
             a.opts, a.param.ping_interval != 0 ? a.param.ping_interval : DEFAULT_PING_INTERVAL_MS);
     }},
    {"natsOptions_SetMaxPingsOut()", STATUS_OPTIONS_MAX_PINGS_OUT,
     [](const option_args& a) {
         if (a.param.max_pings_out < 0) return NATS_INVALID_ARG;
         return natsOptions_SetMaxPingsOut(
             a.opts, a.param.max_pings_out != 0 ? a.param.max_pings_out : DEFAULT_MAX_PINGS_OUT);
     }},
    {"natsOptions_SetReconnectJitter()", STATUS_OPTIONS_RECONNECT_JITTER,
     [](const option_args& a) {
         const std::int64_t jitter = a.param.reconnect_jitter;
         if (jitter < -1) return NATS_INVALID_ARG;
         return jitter == -1 ? natsOptions_SetReconnectJitter(a.opts, DEFAULT_JITTER_MS,
                                                              DEFAULT_JITTER_TLS_MS)
                             : natsOptions_SetReconnectJitter(a.opts, jitter, jitter);
     }},
    {"natsOptions_SetReconnectBufSize()", STATUS_OPTIONS_RECONNECT_BUFFER,
     [](const option_args& a) {
         if (a.param.reconnect_buffer_size < 0) return NATS_INVALID_ARG;
         // libnats 3.4 takes 0 as no buffer at all, not as its default.
         return natsOptions_SetReconnectBufSize(a.opts, a.param.reconnect_buffer_size != 0
                                                            ? a.param.reconnect_buffer_size
                                                            : DEFAULT_RECONNECT_BUFFER);
     }},
    {"natsOptions_SetRetryOnFailedConnect()", STATUS_OPTIONS_RETRY_CONNECT,
     [](const option_args& a) {
         // With a handler, libnats retries in the background instead of blocking connect.
         return a.param.retry_on_failed_connect
                    ? natsOptions_SetRetryOnFailedConnect(a.opts, true,
                                                          detail::context::on_connected, a.ctx)
                    : natsOptions_SetRetryOnFailedConnect(a.opts, false, nullptr, nullptr);
     }},
    {"natsOptions_SetNoEcho()", STATUS_OPTIONS_NO_ECHO,
     [](const option_args& a) { return natsOptions_SetNoEcho(a.opts, a.param.no_echo); }},
    // libnats checks the prefix's tokens, not its bytes: a line end would reach the SUB line.
    {"natsOptions_SetCustomInboxPrefix()", STATUS_OPTIONS_INBOX_PREFIX,
     [](const option_args& a) {
         if (!detail::plain_text(a.param.inbox_prefix)) return NATS_INVALID_ARG;
         return natsOptions_SetCustomInboxPrefix(a.opts, a.param.inbox_prefix.c_str());
     }},
};

}  // namespace

CNATSSvc::CNATSSvc()
    : m_sub_list(SLOT_COUNT),
      m_urls(DEFAULT_URL),
      m_pub_subjects(SLOT_COUNT),
      m_core(std::make_unique<detail::core>(*this)) {
    VEK_TRACE("");
    std::lock_guard<std::mutex> lock(m_nats_Init_mutex);
    ++m_nats_Init_count;
    VEK_TRACE("- nats_Init_count=%d", m_nats_Init_count);
}

CNATSSvc::~CNATSSvc() {
    VEK_TRACE("");
    destroy();
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
    if (m_opts == nullptr) {
        const natsStatus s = natsOptions_Create(&m_opts);
        if (s != NATS_OK) {
            VEK_LOG_NATS(s, " natsOptions_Create()");
            return STATUS_OPTIONS_CREATE;
        }
    }
    // The callbacks' closure; a torn-down object gets a fresh one for its next connection.
    if (m_core->ctx == nullptr) m_core->ctx = new detail::context(m_core.get());
    const option_args args{m_opts, param, m_core->ctx};
    for (const option_step& step : OPTION_STEPS) {
        const natsStatus s = step.apply(args);
        if (s != NATS_OK) {
            VEK_LOG_NATS(s, " %s", step.call);
            return step.code;
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
    std::lock_guard<std::mutex> lock(m_core->slot_mutex);
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
    detail::core& core = *m_core;
    std::lock_guard<std::mutex> life(core.life_mutex);
    m_urls = urls != nullptr ? urls : "";
    m_param = param;
    core.recv_timeout = param.recv_timeout;
    core.request_timeout = param.request_timeout;
    core.binary = param.binary_payloads;
    {
        std::lock_guard<std::mutex> events(core.event_mutex);
        core.on_event = param.on_event;
    }
    {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        core.max_msgs = param.queue_max_msgs > 0 ? static_cast<size_t>(param.queue_max_msgs) : 0;
        core.max_bytes = param.queue_max_bytes > 0 ? static_cast<size_t>(param.queue_max_bytes) : 0;
    }
    core.space_cv.notify_all();
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
        // The connection's reference, dropped by its closed callback; libnats 3.4 fires none
        // for a connection it could not make.
        core.ctx->retain();
        natsConnection* conn = nullptr;
        const int64_t start = nats_Now();
        const natsStatus s = detail::connect_server(&conn, m_opts, param);
        // With retry_on_failed_connect libnats goes on connecting in the background.
        if (s != NATS_OK && !(s == NATS_NOT_YET_CONNECTED && conn != nullptr)) {
            core.ctx->release();
            VEK_LOG_NATS(s, " natsConnection_ConnectTo() urls=%s%s", shown,
                         detail::last_error_text().c_str());
            return STATUS_CONNECT;
        }
        elapsed = static_cast<long>(nats_Now() - start);
        detail::block_reads(conn, param.write_deadline);
        core.conn_gate.close();
        core.conn_gate.wait();
        m_conn = conn;
        core.conn_gate.open();
    }
    VEK_TRACE("- urls=%s, elapsed=%ld ms", shown, elapsed);
    return STATUS_OK;
}

svc_status CNATSSvc::close() {
    detail::core::pinned pin(*m_core);
    if (pin.conn() == nullptr) return STATUS_OK;
    m_core->let_answers_arrive();
    natsConnection_Close(pin.conn());
    return STATUS_OK;
}

svc_status CNATSSvc::destroy() {
    detail::core& core = *m_core;
    // A second destroy() (or a connect) on another thread waits for this one instead of
    // releasing the same handles again.
    std::lock_guard<std::mutex> life(core.life_mutex);
    VEK_LOG("- hello");
    {
        std::lock_guard<std::mutex> lock(m_msg_mutex);
        std::lock_guard<std::mutex> state(m_state_mutex);
        m_terminate = true;
    }
    // Readers, and deliveries waiting for room in the queue, return now.
    m_msg_cv.notify_all();
    core.space_cv.notify_all();

    // No new call may pin the connection; closing it releases those that wait inside libnats
    // (request, flush, NextMsg) and makes libnats stop delivering. Only then can they be
    // waited for: a publish to a server that stopped reading returns by the write deadline.
    core.conn_gate.close();
    core.let_answers_arrive();
    if (m_conn != nullptr) natsConnection_Close(m_conn);
    core.conn_gate.wait();
    if (core.ctx != nullptr) core.ctx->kill();

    core.release_streams();
    if (m_stats != nullptr) {
        natsStatistics_Destroy(m_stats);
        m_stats = nullptr;
    }
    std::vector<detail::sub_ref*> refs;
    {
        std::lock_guard<std::mutex> slots(core.slot_mutex);
        refs.swap(core.retired);
        for (int i = 0; i < SLOT_COUNT; ++i) refs.push_back(core.take_slot(i));
    }
    for (detail::sub_ref* ref : refs) {
        if (ref != nullptr) ref->release();
    }
    if (m_opts != nullptr) {
        natsOptions_Destroy(m_opts);
        m_opts = nullptr;
    }
    if (m_conn != nullptr) {
        natsConnection_Destroy(m_conn);
        m_conn = nullptr;
    }
    if (core.ctx != nullptr) {
        core.ctx->release();
        core.ctx = nullptr;
    }
    core.conn_gate.open();
    VEK_LOG("- bye");
    return STATUS_OK;
}

svc_status CNATSSvc::flush(std::int64_t timeout_ms) {
    detail::core::pinned pin(*m_core);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    const natsStatus s = natsConnection_FlushTimeout(pin.conn(), timeout_ms);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " timeout=%ld ms", static_cast<long>(timeout_ms));
        return STATUS_FLUSH;
    }
    return STATUS_OK;
}

std::size_t CNATSSvc::queued() {
    std::lock_guard<std::mutex> lock(m_msg_mutex);
    return m_core->records.size();
}

// ---- slots ----

namespace detail {
namespace {

natsStatus open_subscription(natsSubscription** sub, natsConnection* nc, const char* subject,
                             const char* group, delivery how, natsMsgHandler cb, void* closure) {
    if (how == delivery::sync) {
        return group == nullptr ? natsConnection_SubscribeSync(sub, nc, subject)
                                : natsConnection_QueueSubscribeSync(sub, nc, subject, group);
    }
    return group == nullptr ? natsConnection_Subscribe(sub, nc, subject, cb, closure)
                            : natsConnection_QueueSubscribe(sub, nc, subject, group, cb, closure);
}

}  // namespace

int core::find_slot(const char* subject) const {
    if (subject == nullptr) return -1;
    for (int i = 0; i < CNATSSvc::SLOT_COUNT; ++i) {
        if (svc.m_sub_list[i].subject_name == subject) return i;
    }
    return -1;
}

bool core::slot_without_subscription(const char* subject) {
    // The empty subject, or one that no slot holds, is looked up as below.
    bool without = false;
    const auto read = [&](int i) { without = svc.m_sub_list[i].subscription == nullptr; };
    if (in_remembered_slot(reply_slot, subject, read)) return without;
    std::lock_guard<std::mutex> slots(slot_mutex);
    const int i = find_slot(subject);
    if (i >= 0) reply_slot.store(i, std::memory_order_relaxed);
    return i >= 0 && svc.m_sub_list[i].subscription == nullptr;
}

subscribed core::subscribe(const char* func, svc_status fail_code, const char* subject,
                           const char* group, delivery how, natsMsgHandler cb, void* closure) {
    subscribed result{fail_code, -1, shown_subject(subject)};
    pinned pin(*this);
    if (pin.conn() == nullptr) {
        VEK_LOG_AS(func, "- error: empty connection");
        result.status = STATUS_NO_CONNECTION;
        return result;
    }
    // Held across the libnats call: the free slot found is the one filled (two threads
    // subscribing at once must not take the same one).
    std::lock_guard<std::mutex> slots(slot_mutex);
    natsStatus s = check_subscribe_subject(subject);
    for (int i = 0; i < CNATSSvc::SLOT_COUNT && result.slot < 0; ++i) {
        const natsSubList& slot = svc.m_sub_list[i];
        if (slot.subject_name.empty() && slot.subscription == nullptr) result.slot = i;
    }
    // Records of a queue subscription name its group too.
    const std::string in_group = group != nullptr ? ", group-> " + shown_subject(group) : "";
    if (s == NATS_OK && result.slot < 0) {
        VEK_LOG_AS(func, "- error: full size subj-> %s%s", result.shown.c_str(), in_group.c_str());
        return result;
    }
    sub_ref* ref = nullptr;
    natsSubscription* sub = nullptr;
    if (s == NATS_OK) {
        ref = new sub_ref(ctx);
        if (how == delivery::async && cb == nullptr) {  // into the queue
            cb = context::on_message;
            closure = ref;
        }
        s = open_subscription(&sub, pin.conn(), subject, group, how, cb, closure);
    }
    if (s != NATS_OK) {
        if (ref != nullptr) ref->release();
        VEK_LOG_AS(func, "- error: (%u - %s) subj-> %s%s", static_cast<unsigned>(s),
                   natsStatus_GetText(s), result.shown.c_str(), in_group.c_str());
        return result;
    }
    ref->handle = sub;
    // libnats holds on to an asynchronous subscription (and calls its handler) until the
    // completion callback; refused, the subscription was closed already and is done.
    if (how == delivery::async) {
        ref->retain();
        if (natsSubscription_SetOnCompleteCB(sub, context::on_complete, ref) != NATS_OK) {
            ref->release();
        }
    }
    gate::shut readers(slot_gates[result.slot]);
    std::lock_guard<std::mutex> queue(svc.m_msg_mutex);
    refs[result.slot] = ref;
    svc.m_sub_list[result.slot].subscription = sub;
    svc.m_sub_list[result.slot].subject_name = subject;
    mark_first_slots();
    result.status = STATUS_OK;
    return result;
}

sub_ref* core::take_slot(int index) {
    // A recv_sync inside waits in libnats, which the unsubscribe or close before this wakes.
    gate::shut readers(slot_gates[index]);
    std::lock_guard<std::mutex> queue(svc.m_msg_mutex);
    sub_ref* ref = refs[index];
    refs[index] = nullptr;
    svc.m_sub_list[index].subscription = nullptr;
    svc.m_sub_list[index].subject_name.clear();
    mark_first_slots();
    return ref;
}

void core::let_answers_arrive() const {
    // Most answers are moments away; a call still waiting after the bound is ended by the
    // close. A late answer (to a request already ended) arriving just then is not ruled out.
    for (int waited = 0; answers_awaited.load() > 0 && waited < ANSWER_GRACE_MS; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void core::mark_first_slots() {
    for (int i = 0; i < CNATSSvc::SLOT_COUNT; ++i) {
        const std::string& name = svc.m_sub_list[i].subject_name;
        bool first = !name.empty();
        for (int j = 0; j < i && first; ++j) first = svc.m_sub_list[j].subject_name != name;
        first_of_subject[i].store(first, std::memory_order_release);
    }
}

svc_status core::unsubscribe(const char* subject) {
    sub_ref* ref = nullptr;
    {
        std::lock_guard<std::mutex> slots(slot_mutex);
        const int i = find_slot(subject);
        if (i < 0) {
            VEK_LOG("- error subj-> %s", shown_subject(subject).c_str());
            return STATUS_UNSUBSCRIBE;
        }
        const natsStatus s = natsSubscription_Unsubscribe(svc.m_sub_list[i].subscription);
        if (s != NATS_OK) {
            VEK_LOG_NATS(s, " subj-> %s", shown_subject(subject).c_str());
            return STATUS_UNSUBSCRIBE;
        }
        ref = take_slot(i);
    }
    svc.m_msg_cv.notify_all();  // a recv that watches this slot ends
    // libnats 3.4's reader thread may still be handing a message to the subscription it
    // found just before the unsubscribe, without holding on to it; a round trip to the server
    // shows that it has moved on. Without one, the handle waits for destroy(), which joins
    // that thread. Either way it goes once its completion callback and recv_sync let go.
    pinned pin(*this);
    if (pin.conn() != nullptr &&
        natsConnection_FlushTimeout(pin.conn(), UNSUBSCRIBE_FLUSH_MS) == NATS_OK) {
        ref->release();
    } else {
        std::lock_guard<std::mutex> slots(slot_mutex);
        retired.push_back(ref);
    }
    return STATUS_OK;
}

void core::record_published(const char* subject) {
    // Once all five entries are taken, publishing no longer touches the lock.
    if (pub_full.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> lock(pub_mutex);
    for (std::string& known : checked) {
        if (known == subject) break;
        if (known.empty()) {
            known = subject;
            break;
        }
    }
    for (std::string& entry : svc.m_pub_subjects) {
        if (entry.empty()) {
            entry = printable(subject);
            if (&entry == &svc.m_pub_subjects.back())
                pub_full.store(true, std::memory_order_release);
            return;
        }
    }
    pub_full.store(true, std::memory_order_release);
}

}  // namespace detail
}  // namespace vek_nats

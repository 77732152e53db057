#include "internal/core.h"
#include "internal/jetstream.h"
#include "internal/logging.h"
#include "internal/subject.h"
#include "vek_nats/stream.h"

namespace vek_nats {

namespace {

constexpr std::int64_t NS_PER_MS = 1000000;
// Messages pulled per request: fewer round trips, while a crash leaves at most this many
// handed to nobody (they come back after ack_wait_ms).
constexpr int FETCH_BATCH = 64;
// Settled or not, the unsettled table forgets its oldest entries beyond this: a message that
// another consumer of the durable took over (ack_wait passed) is never settled here.
constexpr size_t UNSETTLED_MAX = 1 << 16;

using detail::jetstream;

svc_status refuse(const char* func, const char* what, const std::string& name) {
    VEK_LOG_AS(func, "- error: invalid %s-> %s", what, detail::shown_subject(name.c_str()).c_str());
    return STATUS_STREAM_INVALID_NAME;
}

// Why a pull failed: a time-out, unless the consumer or its stream has gone or the connection
// with them; asked of the server, which answers only while all three are there.
svc_status pull_failure(detail::core& core, natsStatus s) {
    if (s == NATS_CONNECTION_CLOSED) return STATUS_STREAM_CONNECTION_LOST;
    detail::core::answer_awaited awaiting(core);
    const jetstream& js = *core.streams;
    jsConsumerInfo* ci = nullptr;
    jsErrCode err = static_cast<jsErrCode>(0);
    const natsStatus asked =
        js_GetConsumerInfo(&ci, js.js, js.stream.c_str(), js.durable.c_str(), nullptr, &err);
    jsConsumerInfo_Destroy(ci);
    if (asked == NATS_OK) return s == NATS_TIMEOUT ? STATUS_STREAM_TIMEOUT : STATUS_STREAM_FETCH;
    const svc_status code = detail::stream_code(asked, err, STATUS_STREAM_FETCH);
    // No answer from the server in time is a lost connection, not a deleted stream.
    return code == STATUS_STREAM_TIMEOUT ? STATUS_STREAM_CONNECTION_LOST : code;
}

// Sends `verb` to the message's acknowledgement subject once the message was fetched here
// and is unsettled.
svc_status settle(detail::core& core, const char* func, const NATSSvcMsg& msg, const char* verb) {
    detail::core::pinned pin(core);
    if (pin.conn() == nullptr) {
        VEK_LOG_AS(func, "- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    jetstream& js = *core.streams;
    std::uint64_t seq = 0;
    {
        std::lock_guard<std::mutex> lock(js.acks_mutex);
        seq = msg.inbox == js.last_inbox ? js.last_seq
                                         : detail::parse_ack_subject(msg.inbox).stream_seq;
        if (seq == 0 || !js.unsettled.take(seq)) {
            VEK_LOG_AS(func, "- error: not unsettled, inbox-> %s",
                       detail::shown_subject(msg.inbox.c_str()).c_str());
            return STATUS_STREAM_ACKED;
        }
    }
    const natsStatus s = natsConnection_PublishString(pin.conn(), msg.inbox.c_str(), verb);
    if (s != NATS_OK) {
        VEK_LOG_AS(func, "- error: (%u - %s) inbox-> %s", static_cast<unsigned>(s),
                   natsStatus_GetText(s), detail::shown_subject(msg.inbox.c_str()).c_str());
        std::lock_guard<std::mutex> lock(js.acks_mutex);
        js.unsettled.add(seq);  // still the consumer's to settle
        return detail::stream_code(s, static_cast<jsErrCode>(0), STATUS_STREAM_ACK);
    }
    return STATUS_OK;
}

}  // namespace

CNATSStreamConsumer::CNATSStreamConsumer() {
    VEK_TRACE("");
    m_core->streams.reset(new jetstream);
}

CNATSStreamConsumer::~CNATSStreamConsumer() {
    VEK_TRACE("");
}

svc_status CNATSStreamConsumer::consume(const NATSConsumerConfig& config) {
    if (!detail::valid_stream_name(config.stream.c_str()))
        return refuse(__func__, "stream", config.stream);
    if (!detail::valid_stream_name(config.durable.c_str()))
        return refuse(__func__, "durable", config.durable);
    const char* filter = config.filter_subject.empty() ? nullptr : config.filter_subject.c_str();
    if (filter != nullptr && (detail::check_subscribe_subject(filter) != NATS_OK ||
                              config.filter_subject.find_first_of(" \t\r\n") != std::string::npos))
        return refuse(__func__, "filter", config.filter_subject);
    detail::core::answer_awaited awaiting(*m_core);
    detail::core::pinned pin(*m_core);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    jetstream& js = *m_core->streams;
    if (js.context(pin.conn(), *m_core) == nullptr) {
        VEK_LOG("- error: natsConnection_JetStream() refused");
        return STATUS_STREAM_CONSUME;
    }
    jsConsumerConfig cc;
    jsConsumerConfig_Init(&cc);
    cc.Durable = config.durable.c_str();
    cc.AckPolicy = js_AckExplicit;
    cc.AckWait = config.ack_wait_ms * NS_PER_MS;
    cc.MaxDeliver = config.max_deliver;
    cc.FilterSubject = filter;
    cc.DeliverPolicy = config.deliver_new ? js_DeliverNew : js_DeliverAll;
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = config.stream.c_str();
    so.Consumer = config.durable.c_str();
    std::lock_guard<std::mutex> lock(js.mutex);
    jsConsumerInfo* ci = nullptr;
    jsErrCode err = static_cast<jsErrCode>(0);
    // A durable that exists is bound as it is (the server would take an add with other
    // settings as an update): its settings are those it was made with.
    natsStatus s = js_GetConsumerInfo(&ci, js.js, config.stream.c_str(), cc.Durable, nullptr, &err);
    jsConsumerInfo_Destroy(ci);
    ci = nullptr;
    if (err == JSConsumerNotFoundErr) {
        s = js_AddConsumer(&ci, js.js, config.stream.c_str(), &cc, nullptr, &err);
        // Made meanwhile by another consumer of the durable.
        if (err == JSConsumerNameExistErr) s = NATS_OK;
        jsConsumerInfo_Destroy(ci);
    }
    natsSubscription* sub = nullptr;
    if (s == NATS_OK)
        s = js_PullSubscribe(&sub, js.js, filter, config.durable.c_str(), nullptr, &so, &err);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " jerr=%d stream-> %s, durable-> %s", static_cast<int>(err),
                     detail::shown_subject(config.stream.c_str()).c_str(),
                     detail::shown_subject(config.durable.c_str()).c_str());
        if (s == NATS_NO_RESPONDERS) return STATUS_STREAM_NO_JETSTREAM;
        return detail::stream_code(s, err, STATUS_STREAM_CONSUME);
    }
    // A consumer bound before is let go: what it handed out comes back after ack_wait_ms.
    js.stream = config.stream;
    js.durable = config.durable;
    std::lock_guard<std::mutex> acks(js.acks_mutex);
    natsMsgList_Destroy(&js.batch);
    js.batch = {nullptr, 0};
    js.next = 0;
    natsSubscription_Destroy(js.pull);
    js.pull = sub;
    js.unsettled.clear();
    return STATUS_OK;
}

svc_status CNATSStreamConsumer::fetch(NATSSvcMsg& msg, std::int64_t timeout_ms) {
    detail::core::pinned pin(*m_core);
    if (pin.conn() == nullptr) {
        VEK_LOG("- error: empty connection");
        return STATUS_NO_CONNECTION;
    }
    jetstream& js = *m_core->streams;
    std::unique_lock<std::mutex> acks(js.acks_mutex);
    if (js.pull == nullptr) {
        VEK_LOG("- error: no consumer");
        return STATUS_STREAM_NOT_CONSUMING;
    }
    std::unique_lock<std::mutex> pulling;
    if (js.next >= js.batch.Count) {
        acks.unlock();
        pulling = std::unique_lock<std::mutex>(js.mutex);
        acks.lock();
    }
    // Another fetch may have pulled while this one waited for the mutex.
    if (js.next >= js.batch.Count) {
        natsMsgList spent = js.batch;
        js.batch = {nullptr, 0};
        js.next = 0;
        // The mutex keeps the subscription: only consume() and release() replace it.
        natsSubscription* const pull = js.pull;
        acks.unlock();
        natsMsgList_Destroy(&spent);
        natsMsgList got{nullptr, 0};
        jsErrCode err = static_cast<jsErrCode>(0);
        const natsStatus s = natsSubscription_Fetch(&got, pull, FETCH_BATCH, timeout_ms, &err);
        if (s != NATS_OK) {
            natsMsgList_Destroy(&got);
            const svc_status code = pull_failure(*m_core, s);
            VEK_LOG("- error: (%u - %s) jerr=%d code=0x%08X stream-> %s, durable-> %s",
                    static_cast<unsigned>(s), natsStatus_GetText(s), static_cast<int>(err), code,
                    detail::shown_subject(js.stream.c_str()).c_str(),
                    detail::shown_subject(js.durable.c_str()).c_str());
            return code;
        }
        acks.lock();
        js.batch = got;
    }
    if (pulling.owns_lock()) pulling.unlock();
    // Freed with the batch, before the next pull: freeing a message takes its subscription's
    // lock, which the delivering thread holds while the batch is still arriving.
    natsMsg* m = js.batch.Msgs[js.next++];
    m_core->fill_record(msg, m, true);
    const std::uint64_t seq = detail::parse_ack_subject(msg.inbox).stream_seq;
    js.unsettled.add(seq);
    if (js.unsettled.size() > UNSETTLED_MAX) js.unsettled.drop_oldest();
    js.last_inbox.assign(msg.inbox);
    js.last_seq = seq;
    return static_cast<svc_status>(msg.dataLen);
}

svc_status CNATSStreamConsumer::ack(const NATSSvcMsg& msg) {
    return settle(*m_core, __func__, msg, "+ACK");
}

svc_status CNATSStreamConsumer::nak(const NATSSvcMsg& msg, std::int64_t delay_ms) {
    if (delay_ms <= 0) return settle(*m_core, __func__, msg, "-NAK");
    const std::string verb = "-NAK {\"delay\": " + std::to_string(delay_ms * NS_PER_MS) + "}";
    return settle(*m_core, __func__, msg, verb.c_str());
}

svc_status CNATSStreamConsumer::term(const NATSSvcMsg& msg) {
    return settle(*m_core, __func__, msg, "+TERM");
}

std::uint64_t stream_sequence(const NATSSvcMsg& msg) {
    return detail::parse_ack_subject(msg.inbox).stream_seq;
}

std::uint64_t delivery_count(const NATSSvcMsg& msg) {
    return detail::parse_ack_subject(msg.inbox).delivered;
}

}  // namespace vek_nats

#include <algorithm>
#include <cstring>

#include "internal/core.h"
#include "internal/jetstream.h"
#include "internal/logging.h"
#include "internal/subject.h"
#include "vek_nats/stream.h"

namespace vek_nats {

namespace {

constexpr std::int64_t NS_PER_MS = 1000000;
constexpr int PUBLISH_RETRIES = 2;
constexpr std::int64_t PUBLISH_RETRY_WAIT_MS = 250;

// The pinned connection's JetStream context, or the code to return (with its record written
// under `func`).
struct js_call {
    detail::core::answer_awaited awaiting;
    detail::core::pinned pin;
    jsCtx* js = nullptr;
    svc_status refused = STATUS_OK;

    js_call(detail::core& core, const char* func, svc_status fail) : awaiting(core), pin(core) {
        if (pin.conn() == nullptr) {
            VEK_LOG_AS(func, "- error: empty connection");
            refused = STATUS_NO_CONNECTION;
            return;
        }
        js = core.streams->context(pin.conn(), core);
        if (js == nullptr) {
            VEK_LOG_AS(func, "- error: natsConnection_JetStream() refused");
            refused = fail;
        }
    }
};

// A refused name is reported like a failed call, before anything is sent.
svc_status refuse_name(const char* func, const char* what, const char* name) {
    VEK_LOG_AS(func, "- error: invalid %s-> %s", what, detail::shown_subject(name).c_str());
    return STATUS_STREAM_INVALID_NAME;
}

// A JetStream request that found nobody to answer: a server without JetStream, or (publish)
// no stream storing the subject. The account information tells which.
svc_status without_responder(jsCtx* js, svc_status otherwise) {
    jsAccountInfo* ai = nullptr;
    jsErrCode err = static_cast<jsErrCode>(0);
    const natsStatus s = js_GetAccountInfo(&ai, js, nullptr, &err);
    jsAccountInfo_Destroy(ai);
    if (s == NATS_NO_RESPONDERS || err == JSNotEnabledErr || err == JSNotEnabledForAccountErr)
        return STATUS_STREAM_NO_JETSTREAM;
    return otherwise;
}

svc_status failure(jsCtx* js, natsStatus s, jsErrCode err, svc_status fallback,
                   svc_status unanswered) {
    if (s == NATS_NO_RESPONDERS) return without_responder(js, unanswered);
    return detail::stream_code(s, err, fallback);
}

// The subject and payload checked as a plain publish checks them, before anything is sent.
bool publishable(const char* func, const char* subject, const void* data, int dataLen) {
    const natsStatus s = detail::check_publish(subject, data, dataLen);
    if (s == NATS_OK) return true;
    VEK_LOG_AS(func, "- error: (%u - %s) subj-> %s, dataLen=%d", static_cast<unsigned>(s),
               natsStatus_GetText(s), detail::shown_subject(subject).c_str(), dataLen);
    return false;
}

// The options of a publish with a message id; null (libnats' defaults) without one.
jsPubOptions* message_id(jsPubOptions& opts, const char* msg_id) {
    if (msg_id == nullptr) return nullptr;
    jsPubOptions_Init(&opts);
    opts.MsgId = msg_id;
    return &opts;
}

}  // namespace

CNATSStreamPublisher::CNATSStreamPublisher() {
    VEK_TRACE("");
    m_core->streams.reset(new detail::jetstream);
}

CNATSStreamPublisher::~CNATSStreamPublisher() {
    VEK_TRACE("");
}

svc_status CNATSStreamPublisher::add_stream(const NATSStreamConfig& config) {
    const char* name = config.name.c_str();
    if (!detail::valid_stream_name(name)) return refuse_name(__func__, "stream", name);
    if (config.subjects.empty()) return refuse_name(__func__, "subject", "");
    std::vector<const char*> subjects;
    for (const std::string& subject : config.subjects) {
        if (subject.empty() || detail::check_subscribe_subject(subject.c_str()) != NATS_OK ||
            subject.find_first_of(" \t\r\n") != std::string::npos)
            return refuse_name(__func__, "subject", subject.c_str());
        subjects.push_back(subject.c_str());
    }
    js_call call(*m_core, __func__, STATUS_STREAM_ADD);
    if (call.js == nullptr) return call.refused;
    jsStreamConfig sc;
    jsStreamConfig_Init(&sc);
    sc.Name = name;
    sc.Subjects = subjects.data();
    sc.SubjectsLen = static_cast<int>(subjects.size());
    sc.Storage = config.memory_storage ? js_MemoryStorage : js_FileStorage;
    sc.Replicas = config.replicas;
    sc.MaxMsgs = config.max_msgs > 0 ? config.max_msgs : -1;
    sc.MaxBytes = config.max_bytes > 0 ? config.max_bytes : -1;
    sc.MaxAge = config.max_age_ms * NS_PER_MS;
    // The server refuses a duplicate window longer than the messages are kept.
    const bool kept_shorter =
        config.max_age_ms > 0 && config.duplicate_window_ms > config.max_age_ms;
    sc.Duplicates = (kept_shorter ? config.max_age_ms : config.duplicate_window_ms) * NS_PER_MS;
    sc.Retention = config.work_queue ? js_WorkQueuePolicy : js_LimitsPolicy;
    jsStreamInfo* si = nullptr;
    jsErrCode err = static_cast<jsErrCode>(0);
    natsStatus s = js_AddStream(&si, call.js, &sc, nullptr, &err);
    if (err == JSStreamNameExistErr) s = js_UpdateStream(&si, call.js, &sc, nullptr, &err);
    jsStreamInfo_Destroy(si);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " jerr=%d name-> %s", static_cast<int>(err),
                     detail::shown_subject(name).c_str());
        return failure(call.js, s, err, STATUS_STREAM_ADD, STATUS_STREAM_NO_JETSTREAM);
    }
    return STATUS_OK;
}

svc_status CNATSStreamPublisher::delete_stream(const char* name) {
    if (!detail::valid_stream_name(name)) return refuse_name(__func__, "stream", name);
    js_call call(*m_core, __func__, STATUS_STREAM_DELETE);
    if (call.js == nullptr) return call.refused;
    jsErrCode err = static_cast<jsErrCode>(0);
    const natsStatus s = js_DeleteStream(call.js, name, nullptr, &err);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " jerr=%d name-> %s", static_cast<int>(err),
                     detail::shown_subject(name).c_str());
        return failure(call.js, s, err, STATUS_STREAM_DELETE, STATUS_STREAM_NO_JETSTREAM);
    }
    return STATUS_OK;
}

svc_status CNATSStreamPublisher::stream_info(const char* name, NATSStreamInfo& info) {
    if (!detail::valid_stream_name(name)) return refuse_name(__func__, "stream", name);
    js_call call(*m_core, __func__, STATUS_STREAM_INFO);
    if (call.js == nullptr) return call.refused;
    jsStreamInfo* si = nullptr;
    jsErrCode err = static_cast<jsErrCode>(0);
    const natsStatus s = js_GetStreamInfo(&si, call.js, name, nullptr, &err);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " jerr=%d name-> %s", static_cast<int>(err),
                     detail::shown_subject(name).c_str());
        return failure(call.js, s, err, STATUS_STREAM_INFO, STATUS_STREAM_NO_JETSTREAM);
    }
    const jsStreamConfig& c = *si->Config;
    info.config.name = c.Name;
    info.config.subjects.assign(c.Subjects, c.Subjects + c.SubjectsLen);
    info.config.memory_storage = c.Storage == js_MemoryStorage;
    info.config.replicas = static_cast<int>(c.Replicas);
    info.config.max_msgs = c.MaxMsgs;
    info.config.max_bytes = c.MaxBytes;
    info.config.max_age_ms = c.MaxAge / NS_PER_MS;
    info.config.duplicate_window_ms = c.Duplicates / NS_PER_MS;
    info.config.work_queue = c.Retention == js_WorkQueuePolicy;
    info.messages = si->State.Msgs;
    info.bytes = si->State.Bytes;
    info.first_seq = si->State.FirstSeq;
    info.last_seq = si->State.LastSeq;
    info.consumers = si->State.Consumers;
    const char* leader = si->Cluster != nullptr ? si->Cluster->Leader : nullptr;
    info.leader = leader != nullptr ? leader : "";
    jsStreamInfo_Destroy(si);
    return STATUS_OK;
}

svc_status CNATSStreamPublisher::list_streams(std::vector<std::string>& names) {
    js_call call(*m_core, __func__, STATUS_STREAM_INFO);
    if (call.js == nullptr) return call.refused;
    jsStreamNamesList* list = nullptr;
    jsErrCode err = static_cast<jsErrCode>(0);
    const natsStatus s = js_StreamNames(&list, call.js, nullptr, &err);
    names.clear();
    // libnats reports a server without streams as "not found".
    if (s == NATS_NOT_FOUND) return STATUS_OK;
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " jerr=%d", static_cast<int>(err));
        return failure(call.js, s, err, STATUS_STREAM_INFO, STATUS_STREAM_NO_JETSTREAM);
    }
    names.assign(list->List, list->List + list->Count);
    jsStreamNamesList_Destroy(list);
    std::sort(names.begin(), names.end());
    return STATUS_OK;
}

svc_status CNATSStreamPublisher::publish(const char* subject, const void* data, int dataLen,
                                         const char* msg_id, std::uint64_t* seq) {
    js_call call(*m_core, __func__, STATUS_STREAM_PUBLISH);
    if (call.js == nullptr) return call.refused;
    if (!publishable(__func__, subject, data, dataLen)) return STATUS_STREAM_INVALID_NAME;
    jsPubOptions opts;
    jsPubOptions* with_id = message_id(opts, msg_id);
    jsPubAck* ack = nullptr;
    jsErrCode err = static_cast<jsErrCode>(0);
    // Nobody answers for a moment while a clustered stream elects its leader: tried again
    // twice, as other NATS clients do, before it counts as no stream storing the subject.
    natsStatus s = js_Publish(&ack, call.js, subject, data, dataLen, with_id, &err);
    for (int retry = 0; retry < PUBLISH_RETRIES && s == NATS_NO_RESPONDERS; ++retry) {
        nats_Sleep(PUBLISH_RETRY_WAIT_MS);
        s = js_Publish(&ack, call.js, subject, data, dataLen, with_id, &err);
    }
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " jerr=%d subj-> %s, dataLen=%d", static_cast<int>(err),
                     detail::shown_subject(subject).c_str(), dataLen);
        return failure(call.js, s, err, STATUS_STREAM_PUBLISH, STATUS_STREAM_NOT_FOUND);
    }
    if (seq != nullptr) *seq = ack->Sequence;
    jsPubAck_Destroy(ack);
    return STATUS_OK;
}

svc_status CNATSStreamPublisher::publish_async(const char* subject, const void* data, int dataLen,
                                               const char* msg_id) {
    js_call call(*m_core, __func__, STATUS_STREAM_PUBLISH_ASYNC);
    if (call.js == nullptr) return call.refused;
    if (!publishable(__func__, subject, data, dataLen)) return STATUS_STREAM_INVALID_NAME;
    jsPubOptions opts;
    jsPubOptions* with_id = message_id(opts, msg_id);
    const natsStatus s = js_PublishAsync(call.js, subject, data, dataLen, with_id);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " subj-> %s, dataLen=%d", detail::shown_subject(subject).c_str(), dataLen);
        return detail::stream_code(s, static_cast<jsErrCode>(0), STATUS_STREAM_PUBLISH_ASYNC);
    }
    return STATUS_OK;
}

svc_status CNATSStreamPublisher::publish_complete(std::int64_t timeout_ms) {
    js_call call(*m_core, __func__, STATUS_STREAM_PUBLISH_COMPLETE);
    if (call.js == nullptr) return call.refused;
    jsPubOptions opts;
    jsPubOptions_Init(&opts);
    opts.MaxWait = timeout_ms;
    const natsStatus s = js_PublishAsyncComplete(call.js, &opts);
    const int refused = m_core->streams->async_failed.exchange(0);
    if (s != NATS_OK) {
        VEK_LOG_NATS(s, " timeout=%ld ms, refused=%d", static_cast<long>(timeout_ms), refused);
        return detail::stream_code(s, static_cast<jsErrCode>(0), STATUS_STREAM_PUBLISH_COMPLETE);
    }
    if (refused > 0) {
        VEK_LOG("- error: refused=%d", refused);
        return STATUS_STREAM_PUBLISH_COMPLETE;
    }
    return STATUS_OK;
}

}  // namespace vek_nats

// What the stream roles share: the JetStream context of the connection, names, the codes of
// failures, the acknowledgement subject.
#include "internal/jetstream.h"

#include <charconv>
#include <cstring>

#include "internal/context.h"
#include "internal/core.h"
#include "internal/logging.h"

namespace vek_nats::detail {

namespace {

// Asynchronous publishes the stream refused, counted for publish_complete. libnats calls it on
// its own thread, which may run after destroy(): the context tells whether the object listens.
void on_async_refused(jsCtx*, jsPubAckErr* err, void* closure) {
    auto* ctx = static_cast<context*>(closure);
    if (!ctx->enter()) return;
    VEK_LOG("- error: (%u - %s) async publish refused, jerr=%d", static_cast<unsigned>(err->Err),
            natsStatus_GetText(err->Err), static_cast<int>(err->ErrCode));
    if (ctx->owner->streams != nullptr) ++ctx->owner->streams->async_failed;
    ctx->leave();
}

}  // namespace

jsCtx* jetstream::context(natsConnection* nc, core& owner) {
    jsCtx* made = js.load(std::memory_order_acquire);
    if (made != nullptr) return made;
    std::lock_guard<std::mutex> lock(mutex);
    made = js.load(std::memory_order_relaxed);
    if (made != nullptr) return made;
    jsOptions opts;
    jsOptions_Init(&opts);
    opts.PublishAsync.ErrHandler = on_async_refused;
    opts.PublishAsync.ErrHandlerClosure = owner.ctx;
    if (natsConnection_JetStream(&made, nc, &opts) != NATS_OK) return nullptr;
    js.store(made, std::memory_order_release);
    return made;
}

void jetstream::release() {
    std::scoped_lock lock(mutex, acks_mutex);
    natsMsgList_Destroy(&batch);
    batch = {nullptr, 0};
    next = 0;
    unsettled.clear();
    last_inbox.clear();
    last_seq = 0;
    natsSubscription_Destroy(pull);
    pull = nullptr;
    jsCtx_Destroy(js.exchange(nullptr));
}

void core::jetstream_release::operator()(jetstream* js) const {
    delete js;
}

void core::release_streams() {
    if (streams != nullptr) streams->release();
}

ack_fields parse_ack_subject(const std::string& subject) {
    // "$JS.ACK.<stream>.<consumer>.<delivered>.<stream seq>.<consumer seq>.<time>.<pending>",
    // or with "<domain>.<account hash>." before the stream and a token after the pending.
    static constexpr char PREFIX[] = "$JS.ACK.";
    ack_fields f;
    const size_t size = subject.size();
    const char* text = subject.data();
    if (size < sizeof(PREFIX) - 1 || std::memcmp(text, PREFIX, sizeof(PREFIX) - 1) != 0) return f;
    constexpr size_t MOST = 12;
    size_t starts[MOST + 1];  // of each token, and one past the end
    size_t count = 1;
    starts[0] = 0;
    // fetch and ack each parse a subject per message: memchr from dot to dot.
    const char* const stop = text + size;
    for (const char* at = text;
         (at = static_cast<const char*>(std::memchr(at, '.', size_t(stop - at)))) != nullptr;) {
        if (count == MOST) return f;
        starts[count++] = size_t(++at - text);
    }
    size_t first = 0;
    if (count == 9) {
        first = 2;
    } else if (count == 11 || count == 12) {
        first = 4;
    } else {
        return f;
    }
    starts[count] = subject.size() + 1;
    const auto number = [&](size_t token, std::uint64_t& out) {
        const char* begin = subject.data() + starts[token];
        const char* end = subject.data() + starts[token + 1] - 1;
        return std::from_chars(begin, end, out).ptr == end && begin != end;
    };
    std::uint64_t delivered = 0;
    std::uint64_t seq = 0;
    if (!number(first + 2, delivered) || !number(first + 3, seq)) return f;
    f.delivered = delivered;
    f.stream_seq = seq;
    return f;
}

bool valid_stream_name(const char* name) {
    if (name == nullptr) return false;
    const size_t n = strnlen(name, 256);
    if (n == 0 || n > 255) return false;
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c <= 0x20 || c == 0x7F || std::strchr(".*>/\\", c) != nullptr) return false;
    }
    return true;
}

svc_status stream_code(natsStatus s, jsErrCode err, svc_status fallback) {
    switch (err) {
        case JSStreamNotFoundErr:
            return STATUS_STREAM_NOT_FOUND;
        case JSConsumerNotFoundErr:
            return STATUS_STREAM_CONSUMER_NOT_FOUND;
        case JSNotEnabledErr:
        case JSNotEnabledForAccountErr:
            return STATUS_STREAM_NO_JETSTREAM;
        case JSStreamSubjectOverlapErr:
            return STATUS_STREAM_OVERLAP;
        default:
            break;
    }
    switch (s) {
        case NATS_TIMEOUT:
            return STATUS_STREAM_TIMEOUT;
        case NATS_CONNECTION_CLOSED:
        case NATS_CONNECTION_DISCONNECTED:
        case NATS_NO_SERVER:
            return STATUS_STREAM_CONNECTION_LOST;
        default:
            return fallback;
    }
}

}  // namespace vek_nats::detail

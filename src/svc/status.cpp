#include "vek_nats/status.h"

#include "internal/logging.h"
#include "vek_nats/svc.h"

namespace vek_nats {

namespace {
thread_local natsStatus last_status = NATS_OK;
}  // namespace

void detail::note_nats_status(natsStatus status) {
    last_status = status;
}

natsStatus last_nats_status() {
    return last_status;
}

const char* status_text(svc_status status) {
    switch (status) {
        case STATUS_OK:
            return "success";
        case STATUS_NO_TOKEN:
            return "splitting yielded no token";
        case STATUS_ERROR_STACK:
            return "the NATS error stack could not be read";
        case STATUS_NO_CONNECTION:
            return "no connection";
        case STATUS_CONNECT:
            return "connecting to the server failed";
        case STATUS_PUBLISH:
            return "publishing failed";
        case STATUS_PUBLISH_STRING:
            return "publishing the text failed";
        case STATUS_SUBSCRIBE:
            return "subscribing failed (refused, or all five slots in use)";
        case STATUS_SUBSCRIBE_SYNC:
            return "synchronous subscribing failed (refused, or all five slots in use)";
        case STATUS_REQUEST:
            return "the request failed (time-out or no responders included)";
        case STATUS_REQUEST_STRING:
            return "the text request failed (time-out or no responders included)";
        case STATUS_FLUSH:
            return "the server did not confirm within the time-out";
        case STATUS_DRAIN:
            return "draining was refused or not done within the time-out";
        case STATUS_OPTIONS_CREATE:
            return "creating the connection options failed";
        case STATUS_OPTIONS_URL:
            return "the server URL list was refused";
        case STATUS_OPTIONS_MAX_RECONNECT:
            return "the reconnection count was refused";
        case STATUS_OPTIONS_RECONNECT_WAIT:
            return "the reconnection wait was refused";
        case STATUS_OPTIONS_SEND_ASAP:
            return "the send-as-soon-as-possible option was refused";
        case STATUS_OPTIONS_ERROR_HANDLER:
            return "installing the error handler failed";
        case STATUS_OPTIONS_CLOSED_CB:
            return "installing the closed handler failed";
        case STATUS_OPTIONS_DISCONNECTED_CB:
            return "installing the disconnected handler failed";
        case STATUS_OPTIONS_CREDENTIALS:
            return "a credential setting was refused";
        case STATUS_OPTIONS_TLS:
            return "a TLS setting was refused";
        case STATUS_OPTIONS_WRITE_DEADLINE:
            return "the write deadline was refused";
        case STATUS_OPTIONS_NAME:
            return "the connection name was refused";
        case STATUS_OPTIONS_PING_INTERVAL:
            return "the ping interval was refused";
        case STATUS_OPTIONS_MAX_PINGS_OUT:
            return "the count of unanswered pings was refused";
        case STATUS_OPTIONS_RECONNECT_JITTER:
            return "the reconnection jitter was refused";
        case STATUS_OPTIONS_RECONNECT_BUFFER:
            return "the reconnection buffer size was refused";
        case STATUS_OPTIONS_RETRY_CONNECT:
            return "retrying a failed connect was refused";
        case STATUS_OPTIONS_NO_ECHO:
            return "the no-echo option was refused";
        case STATUS_OPTIONS_INBOX_PREFIX:
            return "the inbox prefix was refused";
        case STATUS_OPTIONS_RECONNECTED_CB:
            return "installing the reconnected handler failed";
        case STATUS_NO_SUBSCRIPTION:
            return "no subscription for the subject";
        case STATUS_NEXT_MSG:
            return "no message within the receive time-out";
        case STATUS_PENDING_LIMITS:
            return "removing the pending limits failed";
        case STATUS_UNSUBSCRIBE:
            return "unsubscribing failed";
        case STATUS_STATISTICS_CREATE:
            return "creating the statistics failed";
        case STATUS_STREAM_ADD:
            return "adding the stream failed";
        case STATUS_STREAM_DELETE:
            return "deleting the stream failed";
        case STATUS_STREAM_PUBLISH:
            return "the stream did not store the message";
        case STATUS_STREAM_PUBLISH_ASYNC:
            return "sending to the stream failed";
        case STATUS_STREAM_PUBLISH_COMPLETE:
            return "the stream refused an asynchronous publish";
        case STATUS_STREAM_CONSUME:
            return "binding to the durable consumer failed";
        case STATUS_STREAM_FETCH:
            return "fetching from the stream failed";
        case STATUS_STREAM_ACK:
            return "acknowledging (ack, nak, term) the message failed";
        case STATUS_STREAM_INFO:
            return "reading the stream information failed";
        case STATUS_STREAM_TIMEOUT:
            return "the stream did not answer within the time-out";
        case STATUS_STREAM_NOT_FOUND:
            return "no such stream";
        case STATUS_STREAM_CONSUMER_NOT_FOUND:
            return "no such durable consumer";
        case STATUS_STREAM_NO_JETSTREAM:
            return "the server has no JetStream";
        case STATUS_STREAM_INVALID_NAME:
            return "invalid stream, durable or subject name";
        case STATUS_STREAM_OVERLAP:
            return "the subjects overlap those of another stream";
        case STATUS_STREAM_ACKED:
            return "the message was acknowledged already (or is not this consumer's)";
        case STATUS_STREAM_CONNECTION_LOST:
            return "the connection to the server was lost";
        case STATUS_STREAM_NOT_CONSUMING:
            return "no consumer bound (consume first)";
        default:
            break;
    }
    if ((status & 0xFFFFFF00u) == STATUS_CONNECTION_BASE) {
        return "the connection reported an error (status in the low byte)";
    }
    return "unknown status";
}

}  // namespace vek_nats

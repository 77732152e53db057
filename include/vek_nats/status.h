#pragma once

#include <cstdint>

#include "vek_nats/export.h"

namespace vek_nats {

// Result of every operation that can fail: 0 for success, else one of the codes below.
using svc_status = std::uint32_t;

inline constexpr svc_status STATUS_OK = 0;
inline constexpr svc_status STATUS_NO_TOKEN = 0x910E0001;        // splitting found no token
inline constexpr svc_status STATUS_ERROR_STACK = 0x910E0101;     // nats_GetLastErrorStack
inline constexpr svc_status STATUS_NO_CONNECTION = 0x910E0200;   // not connected
inline constexpr svc_status STATUS_CONNECT = 0x910E0201;         // natsConnection_Connect
inline constexpr svc_status STATUS_PUBLISH = 0x910E0202;         // natsConnection_Publish
inline constexpr svc_status STATUS_PUBLISH_STRING = 0x910E0203;  // ..._PublishString
inline constexpr svc_status STATUS_SUBSCRIBE = 0x910E0207;       // async subscribe, full table
inline constexpr svc_status STATUS_SUBSCRIBE_SYNC = 0x910E0208;  // sync subscribe, full table
inline constexpr svc_status STATUS_REQUEST = 0x910E0209;         // natsConnection_Request
inline constexpr svc_status STATUS_REQUEST_STRING = 0x910E020A;  // ..._RequestString
inline constexpr svc_status STATUS_FLUSH = 0x910E020B;           // natsConnection_FlushTimeout
inline constexpr svc_status STATUS_DRAIN = 0x910E020C;           // drain refused or timed out
inline constexpr svc_status STATUS_OPTIONS_CREATE = 0x910E0301;  // natsOptions_Create
inline constexpr svc_status STATUS_OPTIONS_URL = 0x910E0302;     // natsOptions_SetURL
inline constexpr svc_status STATUS_OPTIONS_MAX_RECONNECT = 0x910E0303;
inline constexpr svc_status STATUS_OPTIONS_RECONNECT_WAIT = 0x910E0304;
inline constexpr svc_status STATUS_OPTIONS_SEND_ASAP = 0x910E0305;
inline constexpr svc_status STATUS_OPTIONS_ERROR_HANDLER = 0x910E0306;
inline constexpr svc_status STATUS_OPTIONS_CLOSED_CB = 0x910E0307;
inline constexpr svc_status STATUS_OPTIONS_DISCONNECTED_CB = 0x910E0308;
inline constexpr svc_status STATUS_OPTIONS_CREDENTIALS = 0x910E0309;     // user, token, NKey, creds
inline constexpr svc_status STATUS_OPTIONS_TLS = 0x910E030A;             // a TLS setting refused
inline constexpr svc_status STATUS_OPTIONS_WRITE_DEADLINE = 0x910E030B;  // ..._SetWriteDeadline
inline constexpr svc_status STATUS_OPTIONS_NAME = 0x910E030C;
inline constexpr svc_status STATUS_OPTIONS_PING_INTERVAL = 0x910E030D;
inline constexpr svc_status STATUS_OPTIONS_MAX_PINGS_OUT = 0x910E030E;
inline constexpr svc_status STATUS_OPTIONS_RECONNECT_JITTER = 0x910E030F;
inline constexpr svc_status STATUS_OPTIONS_RECONNECT_BUFFER = 0x910E0310;
inline constexpr svc_status STATUS_OPTIONS_RETRY_CONNECT = 0x910E0311;
inline constexpr svc_status STATUS_OPTIONS_NO_ECHO = 0x910E0312;
inline constexpr svc_status STATUS_OPTIONS_INBOX_PREFIX = 0x910E0313;
inline constexpr svc_status STATUS_OPTIONS_RECONNECTED_CB = 0x910E0314;
inline constexpr svc_status STATUS_NO_SUBSCRIPTION = 0x910E0400;    // no slot / empty slot
inline constexpr svc_status STATUS_NEXT_MSG = 0x910E0401;           // NextMsg, time-out included
inline constexpr svc_status STATUS_PENDING_LIMITS = 0x910E0402;     // SetPendingLimits
inline constexpr svc_status STATUS_UNSUBSCRIBE = 0x910E0403;        // no slot or Unsubscribe
inline constexpr svc_status STATUS_STATISTICS_CREATE = 0x910E0501;  // natsStatistics_Create
// Streams: the operations, then causes that any of them may return instead.
inline constexpr svc_status STATUS_STREAM_ADD = 0x910E0601;
inline constexpr svc_status STATUS_STREAM_DELETE = 0x910E0602;
inline constexpr svc_status STATUS_STREAM_PUBLISH = 0x910E0603;
inline constexpr svc_status STATUS_STREAM_PUBLISH_ASYNC = 0x910E0604;
inline constexpr svc_status STATUS_STREAM_PUBLISH_COMPLETE = 0x910E0605;
inline constexpr svc_status STATUS_STREAM_CONSUME = 0x910E0606;
inline constexpr svc_status STATUS_STREAM_FETCH = 0x910E0607;
inline constexpr svc_status STATUS_STREAM_ACK = 0x910E0608;
inline constexpr svc_status STATUS_STREAM_INFO = 0x910E0609;
inline constexpr svc_status STATUS_STREAM_TIMEOUT = 0x910E0610;
inline constexpr svc_status STATUS_STREAM_NOT_FOUND = 0x910E0611;
inline constexpr svc_status STATUS_STREAM_CONSUMER_NOT_FOUND = 0x910E0612;
inline constexpr svc_status STATUS_STREAM_NO_JETSTREAM = 0x910E0613;
inline constexpr svc_status STATUS_STREAM_INVALID_NAME = 0x910E0614;
inline constexpr svc_status STATUS_STREAM_OVERLAP = 0x910E0615;
inline constexpr svc_status STATUS_STREAM_ACKED = 0x910E0616;
inline constexpr svc_status STATUS_STREAM_CONNECTION_LOST = 0x910E0617;
inline constexpr svc_status STATUS_STREAM_NOT_CONSUMING = 0x910E0618;
inline constexpr svc_status STATUS_CONNECTION_BASE = 0x910E0700;  // + reported natsStatus

// The code that the queue-based recv returns once a connection callback reported `nats_status`.
constexpr svc_status connection_status(std::uint32_t nats_status) {
    return STATUS_CONNECTION_BASE + nats_status;  // modulo 2^32 by unsigned arithmetic
}

// Names a status code in words ("no connection", ...).
// Never null; unknown codes give "unknown status".
VEK_NATS_API const char* status_text(svc_status status);

}  // namespace vek_nats

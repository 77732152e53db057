#pragma once

#include <nats/nats.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "vek_nats/export.h"
#include "vek_nats/status.h"

namespace vek_nats {

namespace detail {
struct core;
}  // namespace detail

// Headers of a message, in the order received. A name may repeat; its values keep their order
// (libnats keeps headers by name, so the order between different names need not survive).
using NATSSvcHeaders = std::vector<std::pair<std::string, std::string>>;

// What on_event is told. `error` is an asynchronous error, such as a slow consumer;
// `connected`, that a connect which retry_on_failed_connect let go on has succeeded.
enum class conn_event { disconnected, reconnected, closed, error, connected };

// Parameters of connect; the service keeps a copy (m_param).
struct NATSSvcParam {
    std::int64_t request_timeout = 10000;  // ms, time-out of request / request_string
    std::int32_t max_reconnect = 10;       // -1: reconnect forever
    std::int64_t reconnect_wait = 1000;    // ms
    bool reserved_flag = false;            // carried along, read by nothing
    bool send_asap = true;
    std::int64_t recv_timeout = 10000;  // ms, time-out of recv_sync
    bool no_error_handler = false;      // true: asynchronous errors do not reach the service

    // Bound of the object's message queue. When it is full the delivery callback waits, so
    // that libnats' own pending limits decide what happens to the backlog.
    std::int64_t queue_max_msgs = 65536;
    std::int64_t queue_max_bytes = 64 * 1024 * 1024;
    // ms a write to the server may block before publish fails (natsOptions_SetWriteDeadline).
    std::int64_t write_deadline = 2000;

    // Secured servers; empty (false) fields leave the connection as plain as the URL says.
    // libnats writes user, password, token and nkey (and a URL's user information) into its
    // CONNECT line: a value holding a control byte (below 0x20, or 0x7F) is refused with
    // STATUS_OPTIONS_CREDENTIALS; '"' and '\' are escaped and reach the server as given.
    // The *_file fields must name non-empty regular files (a FIFO, socket, device, directory or
    // empty file is refused at once: STATUS_OPTIONS_CREDENTIALS, or STATUS_OPTIONS_TLS).
    std::string user;  // with password: natsOptions_SetUserInfo
    std::string password;
    std::string token;           // natsOptions_SetToken
    std::string nkey;            // public NKey of the user ...
    std::string nkey_seed_file;  // ... and the file holding its seed
    std::string creds_file;      // user JWT and seed (natsOptions_SetUserCredentialsFromFiles)
    bool tls = false;            // require TLS even for nats:// URLs
    std::string tls_ca_file;     // PEM of trusted CAs (implies tls)
    std::string tls_cert_file;   // client certificate and key for mutual TLS (imply tls)
    std::string tls_key_file;
    std::string tls_hostname;  // name expected in the server certificate

    // true: NATSSvcMsg::data holds every byte of a payload (data.size() == dataLen), zero bytes
    // included, and reply sends every byte of reply_data. false: text up to the first zero byte.
    bool binary_payloads = false;

    // Connection controls; these defaults leave libnats' own. A refused one fails connect with
    // its STATUS_OPTIONS_* code. Texts holding a control byte are refused.
    std::string name;                        // shown in the server's monitoring (/connz)
    std::int64_t ping_interval = 0;          // ms between PINGs; 0: 2 minutes
    std::int32_t max_pings_out = 0;          // unanswered PINGs before a disconnect; 0: 2
    std::int64_t reconnect_jitter = -1;      // ms added at random to reconnect_wait; -1: 100
    std::int32_t reconnect_buffer_size = 0;  // bytes published while reconnecting; 0: 8 MiB
    bool retry_on_failed_connect = false;    // a first connect that fails goes on in background
    bool no_echo = false;                    // this connection's publishes never come back to it
    std::string inbox_prefix;                // of reply subjects; empty: "_INBOX"

    // Told of disconnects, reconnects, the close and asynchronous errors (the status is the
    // code recv would give for the cause, or 0), on a libnats thread; never after destroy()
    // returned. It must not call destroy() or connect() on the object.
    std::function<void(conn_event, svc_status)> on_event;
};

// One received message (or request), as handed to the caller.
struct NATSSvcMsg {
    std::string subject;
    std::string data;          // payload up to its first zero byte (every byte: binary_payloads)
    std::int32_t dataLen = 0;  // full payload length as the client reports it
    std::int64_t recv_ts = 0;  // ms since the epoch (nats_Now) when the library took it
    std::string inbox;         // reply subject of a request; empty for plain messages
    std::string reply_data;    // the answer that reply() sends to inbox
    NATSSvcHeaders headers;    // empty when the message had none
};

// The NATS status behind the calling thread's last call that failed for a NATS reason (NATS_OK
// until one did), as errno is: NATS_NO_RESPONDERS tells a request nobody serves from
// NATS_TIMEOUT. A failure of the library's own (no connection, no slot) leaves it as it was.
VEK_NATS_API natsStatus last_nats_status();

// One subscription slot: free when subject_name is empty and subscription is null.
struct natsSubList {
    std::string subject_name;
    natsSubscription* subscription = nullptr;
};

// The service core: one NATS connection with its options, statistics, five subscription slots
// and a queue of received messages. Role classes derive from it.
class VEK_NATS_API CNATSSvc {
public:
    static constexpr int SLOT_COUNT = 5;

    CNATSSvc();
    virtual ~CNATSSvc();
    CNATSSvc(const CNATSSvc&) = delete;
    CNATSSvc& operator=(const CNATSSvc&) = delete;

    svc_status init_options(const NATSSvcParam& param);
    svc_status init_statistic(const NATSSvcParam& param);
    // Removes the pending limits of all five subscriptions; fails unless all five slots are used.
    svc_status init_subscription(const NATSSvcParam& param);
    svc_status connect(const char* urls, const NATSSvcParam& param);
    svc_status close();
    // Closes the connection, wakes every blocked recv and releases every handle. For good:
    // a later connect on the same object succeeds, but its queue-based recv returns 0 at once.
    // Make a new object to connect again.
    svc_status destroy();
    // Stops the server routing new messages to the object's subscriptions, leaves what was
    // delivered readable by recv/recv_sync, waits until every request taken has been answered
    // with reply, flushes what was published, then closes the connection: all within
    // timeout_ms, else it closes then. Afterwards a queue-based recv on an empty queue returns
    // 0. 0, STATUS_NO_CONNECTION, or STATUS_DRAIN (refused, or cut short by the time-out).
    svc_status drain(std::int64_t timeout_ms);

    // Waits until the server has processed everything sent so far, at most timeout_ms.
    // 0, STATUS_NO_CONNECTION or STATUS_FLUSH.
    svc_status flush(std::int64_t timeout_ms);
    // Messages waiting in the object's queue.
    std::size_t queued();

    // Writes traffic counters to the log: bit 0 incoming, bit 1 outgoing, bit 2 subscriptions.
    svc_status show_stats(std::int32_t mask);
    // Writes the NATS client's error stack of the calling thread to the log.
    svc_status get_last_error_stack();

    // bcrypt hash of `password` with work factor 12 (the integer is not used). The password is
    // read as a C string, up to its first zero byte, and only its first 72 bytes count.
    // Throws std::runtime_error when hashing fails.
    static std::string bcrypt(const std::string& password, std::int32_t unused);
    // True when `password` (read the same way) matches the stored "$2a$", "$2b$" or "$2y$" hash;
    // false for any other hash and on any error.
    static bool bcrypt_valid(const std::string& password, const std::string& hash);

    // Connection callbacks. The forwarders take the object as closure and ignore a null one;
    // libnats itself is given the connection's context, which forwards here while the object
    // is live.
    static void error_callback_wrapper(natsConnection* nc, natsSubscription* sub, natsStatus status,
                                       void* closure);
    static void closed_callback_wrapper(natsConnection* nc, void* closure);
    static void disconnected_callback_wrapper(natsConnection* nc, void* closure);
    void error_callback(natsConnection* nc, natsSubscription* sub, natsStatus status, void* unused);
    void closed_callback(natsConnection* nc, void* unused);
    void disconnected_callback(natsConnection* nc, void* unused);

    // Number of live objects in the process, guarded by m_nats_Init_mutex.
    static std::int32_t m_nats_Init_count;
    static std::mutex m_nats_Init_mutex;

protected:
    natsConnection* m_conn = nullptr;
    natsOptions* m_opts = nullptr;
    std::vector<natsSubList> m_sub_list;
    natsStatistics* m_stats = nullptr;
    natsStatus m_last_status = NATS_OK;
    std::string m_urls;
    std::vector<std::string> m_pub_subjects;
    NATSSvcParam m_param;
    // m_msg_mutex guards the queue (in the core: its records keep headers out of line;
    // m_msg_queue stays, unused, for the layout). The slot table is written holding it too, and the
    // flags and m_last_status holding it and then m_state_mutex: a reader may hold either.
    std::deque<NATSSvcMsg> m_msg_queue;
    std::condition_variable m_msg_cv;
    std::mutex m_msg_mutex;
    std::mutex m_state_mutex;
    bool m_conn_error = false;
    bool m_terminate = false;

    // Everything else the object needs (the connection gate, the slots' references, the
    // queue's bound, the callbacks' context) lives behind this pointer, so that it can grow
    // without changing the size of the public classes.
    std::unique_ptr<detail::core> m_core;
    friend struct detail::core;
};

}  // namespace vek_nats

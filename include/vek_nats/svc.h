#pragma once

#include <nats/nats.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "vek_nats/export.h"
#include "vek_nats/status.h"

namespace vek_nats {

namespace detail {
struct context;
struct sub_ref;
}  // namespace detail

// Parameters of connect; the service keeps a copy (m_param).
struct NATSSvcParam {
    std::int64_t request_timeout = 10000;  // ms, time-out of request / request_string
    std::int32_t max_reconnect = 10;
    std::int64_t reconnect_wait = 1000;  // ms
    bool reserved_flag = false;          // carried along, read by nothing
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
};

// One received message (or request), as handed to the caller.
struct NATSSvcMsg {
    std::string subject;
    std::string data;          // payload up to its first zero byte
    std::int32_t dataLen = 0;  // full payload length as the client reports it
    std::int64_t recv_ts = 0;  // ms since the epoch (nats_Now) when the library took it
    std::string inbox;         // reply subject of a request; empty for plain messages
    std::string reply_data;    // the answer that reply() sends to inbox
};

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
    svc_status destroy();

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
    // The queue, its bound and the two flags are guarded by m_msg_mutex; the slot table is
    // written under m_core_mutex and m_msg_mutex together, so recv may read it under either.
    std::deque<NATSSvcMsg> m_msg_queue;
    std::condition_variable m_msg_cv;
    std::mutex m_msg_mutex;
    bool m_conn_error = false;
    bool m_terminate = false;

    // ---- helpers shared by the role classes ----

    // The subscribe operations of both receiving roles: takes the lowest free slot for a
    // synchronous subscription, one whose messages go to cb/closure, or one whose messages go
    // to the queue (with their reply subject for a replier). With a non-null `group` it joins that
    // queue group. On failure writes the error line under the operation's name `func` and returns
    // `fail_code` (or STATUS_NO_CONNECTION); on success returns 0 with *index set.
    enum class delivery { sync, handler, queue, queue_with_inbox };
    svc_status subscribe_slot(const char* func, const char* subject, const char* group,
                              delivery how, natsMsgHandler cb, void* closure, svc_status fail_code,
                              int* index);
    // Unsubscribes the first slot holding `subject`; 0 or STATUS_UNSUBSCRIBE.
    svc_status unsubscribe_slot(const char* subject);
    // The recv_sync of both receiving roles up to its trace: the next message of the subject's
    // slot within recv_timeout, filled into msg (inbox too when with_inbox). Returns true with
    // *result = dataLen, or false with *result the failure code and its line written.
    bool next_message(const char* func, const char* subject, NATSSvcMsg& msg, bool with_inbox,
                      svc_status* result);
    // The closed and disconnected handlers: records the connection's last error, if any.
    void report_last_error(const char* func, natsConnection* nc);

    // Index of the first slot whose subject_name equals `subject`; -1 when none (or null).
    // The caller holds m_msg_mutex or m_core_mutex: slots change under both.
    int find_slot(const char* subject) const;
    // True when the first slot matching `subject` holds no subscription (the empty subject
    // matches a free slot).
    bool slot_without_subscription(const char* subject);

    // Copies subject, payload text, length, receive time and (with_inbox) reply subject.
    static void fill_record(NATSSvcMsg& rec, natsMsg* msg, bool with_inbox);
    // The delivery path: builds the record unlocked, waits while the queue is full, appends
    // it, wakes a reader if one waits, frees msg.
    void queue_message(natsMsg* msg, bool with_inbox);
    // The queue-based recv of both roles: waits for a record, a raised flag or, with
    // `remembered` set, the freeing of the slot that this call watches (the subject's slot, or
    // else the one *remembered from earlier calls). For a record, msg holds it and *left the
    // records still queued; for a connection error, *status holds the reported status.
    enum class take_result { record, conn_error, terminated, unsubscribed };
    take_result take(const char* subject, std::int32_t* remembered, NATSSvcMsg& msg,
                     std::size_t* left, natsStatus* status);

    // Records a status reported by a connection callback and wakes every reader.
    void raise_conn_error(natsStatus status);

    // Records a successfully published subject in the first free m_pub_subjects entry.
    void record_published(const char* subject);

    // An operation that uses the connection pins it for its duration: destroy() on another
    // thread waits for it before it releases the handle. Null when there is no connection.
    class pinned {
    public:
        explicit pinned(CNATSSvc& svc);
        ~pinned();
        pinned(const pinned&) = delete;
        pinned& operator=(const pinned&) = delete;
        natsConnection* conn() const { return m_conn; }

    private:
        CNATSSvc& m_svc;
        natsConnection* m_conn;
    };

private:
    friend struct detail::context;
    void unpin();
    // Waits until no call holds the connection pinned; new pins fail meanwhile.
    void close_gate();
    void open_gate();
    // Empties a slot (m_core_mutex held) and hands back the reference it held.
    detail::sub_ref* take_slot(int index);

    detail::context* m_ctx = nullptr;  // what libnats' callbacks reach; see context.h
    detail::sub_ref* m_refs[SLOT_COUNT] = {};
    std::vector<detail::sub_ref*> m_retired;  // unsubscribed, released by destroy()
    std::mutex m_core_mutex;                  // m_conn and the slot table change under it
    std::mutex m_life_mutex;  // connect and destroy, so that two threads never run them at once
    std::condition_variable m_idle_cv;
    static constexpr int GATE_CLOSED = 1 << 30;
    std::atomic<int> m_gate{0};  // pinned calls, plus GATE_CLOSED while connect/destroy work
    // Queue bound and waiters, under m_msg_mutex.
    std::size_t m_queue_bytes = 0;
    std::size_t m_max_msgs = 0;
    std::size_t m_max_bytes = 0;
    int m_readers_waiting = 0;
    int m_writers_waiting = 0;
    std::condition_variable m_space_cv;
    std::mutex m_pub_mutex;
    std::atomic<bool> m_pub_full{false};
};

}  // namespace vek_nats

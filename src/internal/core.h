#pragma once

// The machinery of a service object that its public class does not show: the connection gate,
// the slots' references, the queue's bound and waiters, the callbacks' context. CNATSSvc holds
// one and lets it at its members; the roles reach it through m_core. State the library adds
// goes here, never into the public classes (scripts/check-abi guards their layout).
//
//   svc.cpp     connect and destroy; the slots: subscribe, unsubscribe; published subjects
//   queue.cpp   the receive path: libnats' delivery -> record -> queue -> recv; recv_sync
//   events.cpp  the connection callbacks and the state they raise; statistics
//   jetstream.cpp  the stream roles' handles, names and codes
#include <nats/nats.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "internal/gate.h"
#include "vek_nats/svc.h"

namespace vek_nats::detail {

struct context;
struct sub_ref;
struct jetstream;

// How the messages of a subscription arrive.
enum class delivery {
    sync,   // libnats keeps them until recv_sync asks
    async,  // to the caller's handler, or (none given) into the object's queue
};

// What a subscribe gave: the status and, on success, the slot taken. `shown` is the subject
// as records show it.
struct subscribed {
    svc_status status;
    int slot;
    std::string shown;
};

// How a receive ended: with a message in the caller's record, with the unsubscribe of the slot
// a queue-based recv watched, or otherwise (a failure, a raised flag) with its record written
// and `status` the code to return.
struct received {
    enum class end { message, unsubscribed, reported };
    end how;
    svc_status status;     // the message's dataLen, 0, or a failure code
    std::size_t left = 0;  // records still queued after the one taken (recv)
};

// A queued message: what recv hands over, without reply_data. Subject, payload and inbox share
// one allocation, so that a small message costs one block and its place in the deque; recv
// copies them into the caller's strings, keeping their capacity. Headers, and a payload so
// large that copying it twice would cost more than its allocation, live out of line: such a
// payload is handed over whole.
struct record {
    static constexpr std::uint32_t LARGE = 4096;  // payloads of this size or more: out of line
    struct out_of_line {
        NATSSvcHeaders headers;
        std::string data;  // the payload, when large
    };
    std::unique_ptr<char[]> bytes;  // subject, payload as kept (unless large), inbox
    std::uint32_t subject_size = 0;
    std::uint32_t data_size = 0;
    std::uint32_t inbox_size = 0;
    std::int32_t dataLen = 0;
    std::int64_t recv_ts = 0;
    std::unique_ptr<out_of_line> extra;  // null without headers and large payload
    bool large() const { return data_size >= LARGE; }
};

struct core {
    explicit core(CNATSSvc& owner)
        : svc(owner),
          recv_timeout(owner.m_param.recv_timeout),
          request_timeout(owner.m_param.request_timeout) {}
    core(const core&) = delete;
    core& operator=(const core&) = delete;

    CNATSSvc& svc;

    // ---- the time-outs of m_param ----
    // Read by calls that may run while connect replaces the record on another thread.
    std::atomic<std::int64_t> recv_timeout;
    std::atomic<std::int64_t> request_timeout;

    // ---- the connection ----
    // An operation that uses the connection pins it for its duration: destroy() on another
    // thread waits for it before it releases the handle. conn() is null when there is none.
    class pinned {
    public:
        explicit pinned(core& c)
            : m_core(c), m_inside(c.conn_gate.enter()), m_conn(m_inside ? c.svc.m_conn : nullptr) {}
        ~pinned() {
            if (m_inside) m_core.conn_gate.leave();
        }
        pinned(const pinned&) = delete;
        pinned& operator=(const pinned&) = delete;
        natsConnection* conn() const { return m_conn; }

    private:
        core& m_core;
        const bool m_inside;
        natsConnection* const m_conn;
    };
    // A call that waits for an answer through libnats' shared reply subscription: a request
    // or a JetStream API call. libnats 3.4 frees that subscription while it closes the
    // connection, and its reader thread may be handing it an answer at that moment, which
    // crashes the process; destroy() and close() first let these calls end. Made before the
    // pin, so that destroy() cannot miss a caller that got in.
    class answer_awaited {
    public:
        explicit answer_awaited(core& c) : m_core(c) { c.answers_awaited.fetch_add(1); }
        ~answer_awaited() { m_core.answers_awaited.fetch_sub(1); }
        answer_awaited(const answer_awaited&) = delete;
        answer_awaited& operator=(const answer_awaited&) = delete;

    private:
        core& m_core;
    };
    std::atomic<int> answers_awaited{0};
    // Waits, for a bounded time, until no call awaits an answer: before the connection closes.
    void let_answers_arrive() const;
    gate conn_gate;          // closed while connect or destroy changes m_conn
    std::mutex life_mutex;   // connect and destroy, so that two threads never run them at once
    context* ctx = nullptr;  // what libnats' callbacks reach; see context.h

    // ---- slots ----
    // The subscribe operations of both receiving roles: takes the lowest free slot for a
    // subscription of `subject` (in queue group `group` unless null). Asynchronous messages go
    // to cb/closure, or without cb into the queue. A failure writes its record under the
    // operation's name `func` and gives `fail_code` (or STATUS_NO_CONNECTION).
    subscribed subscribe(const char* func, svc_status fail_code, const char* subject,
                         const char* group, delivery how, natsMsgHandler cb = nullptr,
                         void* closure = nullptr);
    // Unsubscribes the first slot holding `subject`: 0 or STATUS_UNSUBSCRIBE.
    svc_status unsubscribe(const char* subject);
    // Index of the first slot whose subject_name equals `subject`; -1 when none (or null).
    // The caller holds slot_mutex or m_msg_mutex: slots change under both.
    int find_slot(const char* subject) const;
    // True when the first slot matching `subject` holds no subscription (the empty subject
    // matches a free slot). Reads the slot it found last as recv_sync does (below).
    bool slot_without_subscription(const char* subject);
    // Empties a slot (slot_mutex held) and hands back the reference it held.
    sub_ref* take_slot(int index);
    std::mutex slot_mutex;  // the slot table and refs change under it (and m_msg_mutex)
    sub_ref* refs[CNATSSvc::SLOT_COUNT] = {};
    std::vector<sub_ref*> retired;  // unsubscribed, released by destroy()

    // ---- the receive path ----
    // Copies subject, payload (text, or every byte with binary_payloads), length, receive time,
    // headers and (with_inbox) reply subject. Every receive path fills its record here.
    void fill_record(NATSSvcMsg& rec, natsMsg* msg, bool with_inbox) const;
    void fill_record(record& rec, natsMsg* msg, bool with_inbox) const;
    // libnats' delivery of a queued subscription: builds the record unlocked, waits while the
    // queue is full, appends it, wakes a reader if one waits, frees msg.
    void deliver(natsMsg* msg);
    // The queue-based recv of both roles: the oldest record, whatever its subject. It also
    // ends on a raised flag and, with `remembered` set, on the freeing of the slot that this
    // call watches (the subject's slot, or else the one *remembered from earlier calls).
    received recv(const char* subject, std::int32_t* remembered, NATSSvcMsg& msg);
    // The recv_sync of both roles: the next message of the subject's slot within recv_timeout.
    received recv_sync(const char* subject, NATSSvcMsg& msg);
    bool keep_inbox = false;  // a replier's records carry the reply subject
    // recv_sync's way around slot_mutex and a reference per call: the slot it found last,
    // and per slot a gate that every change of the slot holds shut (slot_mutex held), so that
    // a reader inside may use the slot's subject and subscription as they are.
    std::atomic<int> sync_slot{0};
    std::atomic<int> reply_slot{0};  // slot_without_subscription's, kept apart from recv_sync's
    gate slot_gates[CNATSSvc::SLOT_COUNT];
    // Whether a slot holds a subject that no slot before it holds: set after every change of
    // the slots (slot_mutex held) by mark_first_slots, read by a reader inside the slot's gate.
    std::atomic<bool> first_of_subject[CNATSSvc::SLOT_COUNT] = {};
    void mark_first_slots();
    // Calls use(index) inside the gate of the slot that `last` remembers, when that slot holds
    // `subject` and no slot before it does; false when it did not (a change of the slot under
    // way, another subject): the caller then looks the subject up under slot_mutex.
    template <class Use>
    bool in_remembered_slot(const std::atomic<int>& last, const char* subject, Use use) {
        const int i = last.load(std::memory_order_relaxed);
        if (subject == nullptr || !slot_gates[i].enter()) return false;
        const bool same = first_of_subject[i].load(std::memory_order_acquire) &&
                          std::strcmp(svc.m_sub_list[i].subject_name.c_str(), subject) == 0;
        if (same) use(i);
        slot_gates[i].leave();
        return same;
    }
    // The queue's bound and who waits on it, under m_msg_mutex.
    std::size_t queue_bytes = 0;
    std::size_t max_msgs = 0;
    std::size_t max_bytes = 0;
    int readers_waiting = 0;
    int writers_waiting = 0;
    std::condition_variable space_cv;  // a delivery waiting for room in the queue
    std::deque<record> records;        // under m_msg_mutex

    // ---- connection state ----
    // Records a status reported by a connection callback and wakes every reader.
    void raise_conn_error(natsStatus status);
    // The closed and disconnected handlers: records the connection's last error, if any, and
    // gives it (NATS_OK when none).
    natsStatus report_last_error(const char* func, natsConnection* nc);

    // ---- published subjects ----
    // Records a successfully published subject in the first free m_pub_subjects entry, and
    // in `checked` unless it is there already.
    void record_published(const char* subject);
    // True when `subject` is one of `checked`: it passed the publish check before, and its
    // bytes alone decide that check. False until pub_full, which freezes `checked`, so that
    // the publish path reads it without a lock (m_pub_subjects is the caller's to change).
    bool checked_before(const char* subject) const {
        if (subject == nullptr || !pub_full.load(std::memory_order_acquire)) return false;
        for (const std::string& known : checked) {
            if (known.empty()) return false;
            if (std::strcmp(known.c_str(), subject) == 0) return true;
        }
        return false;
    }
    std::mutex pub_mutex;
    std::atomic<bool> pub_full{false};          // all five taken: publishing no longer locks
    std::string checked[CNATSSvc::SLOT_COUNT];  // distinct subjects, first free entry empty

    // ---- every byte, headers, drain, events ----
    std::atomic<bool> binary{false};  // m_param.binary_payloads, read by delivery threads
    // A payload as sent: every byte of `data` with binary_payloads, else up to its first zero.
    int payload_length(const std::string& data) const;
    // A natsMsg of subject, payload and headers; null (and *s set) when check_publish refuses
    // subject or payload, a header is refused, or libnats refuses one.
    natsMsg* make_message(const char* subject, const void* data, int length,
                          const NATSSvcHeaders& headers, natsStatus* s) const;
    // Requests handed out by recv/recv_sync and not answered yet: drain waits for them.
    std::atomic<int> unanswered{0};
    bool drained = false;    // under m_msg_mutex: nothing more will arrive; recv ends when empty
    std::mutex drain_mutex;  // one drain at a time
    // The caller's on_event; told under the context's gate, so never after destroy().
    void tell(conn_event event, svc_status status);
    std::mutex event_mutex;
    std::function<void(conn_event, svc_status)> on_event;

    // ---- streams ----
    // The JetStream handles of the stream roles (jetstream.h), made by their constructors.
    // destroy() releases the handles with the connection: nothing is pinned by then.
    struct jetstream_release {
        void operator()(jetstream* js) const;
    };
    std::unique_ptr<jetstream, jetstream_release> streams;
    void release_streams();
};

}  // namespace vek_nats::detail

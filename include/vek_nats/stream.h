#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vek_nats/svc.h"

namespace vek_nats {

// A stream: messages of its subjects stored by the server (JetStream), on disk unless
// memory_storage is set, on `replicas` servers of a cluster.
struct NATSStreamConfig {
    std::string name;                   // stream name: no dots, wildcards or whitespace
    std::vector<std::string> subjects;  // subjects it stores (wildcards allowed)
    bool memory_storage = false;        // file storage unless set
    int replicas = 1;                   // 1 to 5; a cluster needs at least as many servers
    std::int64_t max_msgs = -1;         // limits; -1 or 0: unlimited
    std::int64_t max_bytes = -1;
    std::int64_t max_age_ms = 0;
    std::int64_t duplicate_window_ms = 120000;  // de-duplication by message id
    bool work_queue = false;                    // retention: limits (default) or work queue
};

// A durable pull consumer with explicit acknowledgement.
struct NATSConsumerConfig {
    std::string stream;
    std::string durable;               // the consumer's durable name (as a stream name)
    std::string filter_subject;        // empty: every subject of the stream
    std::int64_t ack_wait_ms = 30000;  // redelivered when not acknowledged in time
    std::int32_t max_deliver = -1;     // -1: no limit
    bool deliver_new = false;          // start with new messages instead of the first stored
};

// What stream_info reports.
struct NATSStreamInfo {
    NATSStreamConfig config;
    std::uint64_t messages = 0;
    std::uint64_t bytes = 0;
    std::uint64_t first_seq = 0;
    std::uint64_t last_seq = 0;
    std::int64_t consumers = 0;
    std::string leader;  // the server that leads the stream's replicas (empty: not clustered)
};

// Creates and removes streams and publishes into them, each publish confirmed by the stream.
// Failures return the operation's code (STATUS_STREAM_ADD, ...) or, where the cause is known,
// its own: STATUS_STREAM_NO_JETSTREAM, STATUS_STREAM_NOT_FOUND, STATUS_STREAM_INVALID_NAME,
// STATUS_STREAM_OVERLAP, STATUS_STREAM_TIMEOUT; STATUS_NO_CONNECTION when not connected.
class VEK_NATS_API CNATSStreamPublisher : public CNATSSvc {
public:
    CNATSStreamPublisher();
    ~CNATSStreamPublisher() override;

    svc_status add_stream(const NATSStreamConfig& config);  // creates, or updates one that exists
    svc_status delete_stream(const char* name);
    svc_status stream_info(const char* name, NATSStreamInfo& info);
    svc_status list_streams(std::vector<std::string>& names);  // sorted
    // Waits for the stream's acknowledgement: 0 means stored (its sequence in *seq). A msg_id
    // seen within the stream's duplicate window is not stored again; *seq is then the first's.
    svc_status publish(const char* subject, const void* data, int dataLen,
                       const char* msg_id = nullptr, std::uint64_t* seq = nullptr);
    // Sends without waiting; publish_complete waits until every one was acknowledged, and
    // fails (STATUS_STREAM_PUBLISH_COMPLETE) when one was refused since the last call, or
    // (STATUS_STREAM_TIMEOUT) when some are still unconfirmed after timeout_ms.
    svc_status publish_async(const char* subject, const void* data, int dataLen,
                             const char* msg_id = nullptr);
    svc_status publish_complete(std::int64_t timeout_ms);
};

// Reads a stream through a durable consumer. A message fetched stays the consumer's until
// ack (done), nak (redeliver, after delay_ms), term (never redeliver), or until ack_wait_ms
// passes; ack, nak and term need only the NATSSvcMsg that fetch filled.
class VEK_NATS_API CNATSStreamConsumer : public CNATSSvc {
public:
    CNATSStreamConsumer();
    ~CNATSStreamConsumer() override;

    // Binds to the durable, creating it when missing; one that exists keeps the settings it
    // was made with.
    svc_status consume(const NATSConsumerConfig& config);
    // Next message within timeout_ms: returns its dataLen, msg as for recv (msg.inbox is the
    // acknowledgement subject). Messages are pulled in batches; those not handed out are
    // redelivered after ack_wait_ms. STATUS_STREAM_TIMEOUT, STATUS_STREAM_CONSUMER_NOT_FOUND,
    // STATUS_STREAM_NOT_FOUND, STATUS_STREAM_CONNECTION_LOST, STATUS_STREAM_NOT_CONSUMING
    // (no consume yet), or STATUS_STREAM_FETCH.
    svc_status fetch(NATSSvcMsg& msg, std::int64_t timeout_ms);
    // STATUS_STREAM_ACKED when the message was acknowledged (naked, terminated) already or
    // was not fetched by this object.
    svc_status ack(const NATSSvcMsg& msg);
    svc_status nak(const NATSSvcMsg& msg, std::int64_t delay_ms = 0);
    svc_status term(const NATSSvcMsg& msg);  // never redeliver
};

// A fetched message's stream sequence and delivery count (1 for the first delivery), read
// from its acknowledgement subject; 0 for a message that did not come from fetch.
VEK_NATS_API std::uint64_t stream_sequence(const NATSSvcMsg& msg);
VEK_NATS_API std::uint64_t delivery_count(const NATSSvcMsg& msg);

}  // namespace vek_nats

// Works through the messages of a JetStream work queue.
//
//   stream_worker <url> <stream> <subject> <durable> [count]
//
// The stream is added as a work queue storing <subject> when stream_info says it does not exist
// (STATUS_STREAM_NOT_FOUND). One that exists is used as it is, settings included, where
// add_stream would have updated it to this worker's idea of them. The worker then binds the
// durable consumer, created on first use, and takes its messages one at a time: each is printed
// and acknowledged, which removes it from the stream. Workers started with the same durable
// share the messages, each going to one of them. A message "fail" stands for work that fails
// once: on its first delivery it is refused with nak, and the server delivers it again a second
// later, to this worker or another. The worker stops after count acknowledged messages (0: no
// limit), or once nothing arrived for five seconds. Messages that fetch pulled in its batch but
// the worker did not reach before stopping come back when the consumer's ack_wait_ms has passed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vek_nats/vek_nats.h"

namespace {

constexpr std::int64_t IDLE_MS = 5000;
constexpr std::int64_t RETRY_DELAY_MS = 1000;
// fetch returns the payload length, or a code: every code lies above any payload length.
constexpr vek_nats::svc_status FIRST_CODE = 0x910E0000;

int report(const char* what, const std::string& name, vek_nats::svc_status s) {
    std::fprintf(stderr, "%s %s: 0x%08X %s\n", what, name.c_str(), s, vek_nats::status_text(s));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s <url> <stream> <subject> <durable> [count]\n", argv[0]);
        return 2;
    }
    const char* url = argv[1];
    vek_nats::NATSStreamConfig stream;
    stream.name = argv[2];
    stream.subjects = {argv[3]};
    stream.work_queue = true;
    vek_nats::NATSConsumerConfig consumer;
    consumer.stream = argv[2];
    consumer.durable = argv[4];
    const long count = argc > 5 ? std::strtol(argv[5], nullptr, 10) : 0;

    vek_nats::CNATSStreamPublisher streams;
    vek_nats::svc_status s = streams.connect(url, vek_nats::NATSSvcParam{});
    vek_nats::NATSStreamInfo info;
    if (s == vek_nats::STATUS_OK) s = streams.stream_info(stream.name.c_str(), info);
    const bool missing = s == vek_nats::STATUS_STREAM_NOT_FOUND;
    if (missing) s = streams.add_stream(stream);
    if (s != vek_nats::STATUS_OK) return report("stream", stream.name, s);
    std::printf("stream %s: %s\n", stream.name.c_str(), missing ? "added" : "found");
    streams.destroy();  // needed for the set-up only

    vek_nats::CNATSStreamConsumer worker;
    s = worker.connect(url, vek_nats::NATSSvcParam{});
    if (s == vek_nats::STATUS_OK) s = worker.consume(consumer);
    if (s != vek_nats::STATUS_OK) return report("consume", consumer.durable, s);
    std::printf("ready: %s of %s on %s\n", consumer.durable.c_str(), stream.name.c_str(), url);
    std::fflush(stdout);

    long done = 0;
    while (count == 0 || done < count) {
        vek_nats::NATSSvcMsg msg;
        s = worker.fetch(msg, IDLE_MS);
        if (s == vek_nats::STATUS_STREAM_TIMEOUT) break;
        if (s >= FIRST_CODE) return report("fetch", consumer.durable, s);
        const std::uint64_t delivery = vek_nats::delivery_count(msg);
        const bool fails = msg.data == "fail" && delivery == 1;
        std::printf("%s #%llu (delivery %llu): %s%s\n", msg.subject.c_str(),
                    static_cast<unsigned long long>(vek_nats::stream_sequence(msg)),
                    static_cast<unsigned long long>(delivery), msg.data.c_str(),
                    fails ? " -> failed, nak" : "");
        std::fflush(stdout);
        s = fails ? worker.nak(msg, RETRY_DELAY_MS) : worker.ack(msg);
        if (s != vek_nats::STATUS_OK) return report(fails ? "nak" : "ack", msg.subject, s);
        if (!fails) ++done;
    }
    std::printf("done: %ld acknowledged\n", done);
    return 0;
}

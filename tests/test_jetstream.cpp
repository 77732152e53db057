// Streams and durable consumers against real JetStream servers: refusals, redelivery, sharing,
// teardown races and the stream actions of vek-nats.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <future>
#include <set>
#include <thread>

#include "support/harness.h"

using namespace vek_nats;
using namespace vek_test;
using Call = std::function<svc_status()>;

namespace {

constexpr int SLOWDOWN = VEK_FAULT_SLOWDOWN;

NATSConsumerConfig durable_of(const std::string& stream, const std::string& durable,
                              std::int64_t ack_wait_ms = 30000, std::int32_t max_deliver = -1) {
    return {stream, durable, "", ack_wait_ms, max_deliver};  // every subject of the stream
}

// Stores "<prefix><i>" for i below n on `subject`, then waits for every acknowledgement.
svc_status store(CNATSStreamPublisher& p, const char* subject, const char* prefix, int n) {
    for (int i = 0; i < n; ++i) {
        const std::string text = prefix + std::to_string(i);
        const svc_status s = p.publish_async(subject, text.data(), int(text.size()));
        if (s != STATUS_OK) return s;
    }
    return p.publish_complete(30000);
}

// Payloads a consumer gets, each acknowledged, until a fetch gives a status instead of a
// length: the stream stayed quiet for `quiet_ms`, or the fetch failed.
std::vector<std::string> drain(CNATSStreamConsumer& c, std::int64_t quiet_ms = 2000) {
    std::vector<std::string> got;
    for (NATSSvcMsg m; c.fetch(m, quiet_ms) < STATUS_NO_TOKEN; m = NATSSvcMsg()) {
        got.push_back(m.data);
        c.ack(m);
    }
    return got;
}

class JetStream : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        ASSERT_EQ(STATUS_OK, pub.connect(server.url().c_str(), timeouts(5000)));
    }
    void bind(CNATSStreamConsumer& c, const NATSConsumerConfig& config) {
        ASSERT_EQ(STATUS_OK, c.connect(server.url().c_str(), timeouts(5000)));
        ASSERT_EQ(STATUS_OK, c.consume(config)) << config.stream;
    }
    LogSandbox box;
    NatsServer server{0, jetstream_args("/tmp/js")};
    Peek<CNATSStreamPublisher> pub;
};

}  // namespace

// Each bad input and each missing thing gets its own code and an error record; no call hangs.
// Rows run in order: the later ones delete what the earlier ones used.
TEST_F(JetStream, RefusalsHaveTheirCodes) {
    Watchdog dog(120s);
    NatsServer plain;  // without JetStream
    ASSERT_TRUE(plain.start());
    CNATSStreamPublisher no_js, unconnected;
    CNATSStreamConsumer no_js_consumer, unbound, c, unconnected_consumer;
    ASSERT_EQ(STATUS_OK, no_js.connect(plain.url().c_str(), timeouts(2000)));
    ASSERT_EQ(STATUS_OK, no_js_consumer.connect(plain.url().c_str(), timeouts(2000)));
    ASSERT_EQ(STATUS_OK, unbound.connect(server.url().c_str(), timeouts(2000)));
    ASSERT_EQ(STATUS_OK, pub.add_stream({"ORD", {"ord.>"}}));
    ASSERT_EQ(STATUS_OK, pub.publish("ord.a", "x", 1));
    ASSERT_EQ(STATUS_OK, pub.publish("ord.a", "y", 1));
    bind(c, durable_of("ORD", "d"));
    NATSSvcMsg first, m;  // m, the later one, is acknowledged first
    ASSERT_EQ(1u, c.fetch(first, 5000));
    ASSERT_EQ(1u, c.fetch(m, 5000));
    ASSERT_EQ(STATUS_OK, c.ack(m));
    ASSERT_EQ(STATUS_OK, c.ack(first));
    const auto add = [](CNATSStreamPublisher& p, const char* name, const char* subject) {
        return p.add_stream({name, {subject}});
    };
    const std::string longest(255, 'N');  // the longest name a server takes
    ASSERT_EQ(STATUS_OK, add(pub, longest.c_str(), "long"));
    NATSStreamInfo info;
    constexpr svc_status INVALID = STATUS_STREAM_INVALID_NAME;
    constexpr svc_status NOT_FOUND = STATUS_STREAM_NOT_FOUND;
    constexpr svc_status NO_JS = STATUS_STREAM_NO_JETSTREAM;
    const struct {
        const char* name;
        Call call;
        svc_status code;
    } rows[] = {
        {"stream name with a space", [&] { return add(pub, "a b", "x"); }, INVALID},
        {"empty stream name", [&] { return add(pub, "", "x"); }, INVALID},
        {"stream name of 256 bytes", [&] { return add(pub, (longest + "N").c_str(), "x"); },
         INVALID},
        {"info of a null name", [&] { return pub.stream_info(nullptr, info); }, INVALID},
        {"subject with a space", [&] { return add(pub, "S", "a b"); }, INVALID},
        {"durable name with a dot", [&] { return unbound.consume(durable_of("ORD", "d.1")); },
         INVALID},
        {"publish to a wildcard", [&] { return pub.publish("ord.*", "x", 1); }, INVALID},
        {"publish_async to a wildcard", [&] { return pub.publish_async("ord.*", "x", 1); },
         INVALID},
        {"publish_async where no stream stores",
         [&] {
             EXPECT_EQ(STATUS_OK, pub.publish_async("none.b", "x", 1));
             const svc_status refused = pub.publish_complete(5000);
             EXPECT_EQ(box.lines("publish_complete"), Strings{"- error: refused=1"});
             return refused;
         },
         STATUS_STREAM_PUBLISH_COMPLETE},
        {"subjects overlap", [&] { return add(pub, "ORD2", "ord.b"); }, STATUS_STREAM_OVERLAP},
        {"delete a missing stream", [&] { return pub.delete_stream("NONE"); }, NOT_FOUND},
        {"publish where no stream stores", [&] { return pub.publish("none.a", "x", 1); },
         NOT_FOUND},
        {"consume a missing stream", [&] { return unbound.consume(durable_of("NONE", "d")); },
         NOT_FOUND},
        {"fetch before consume", [&] { return unbound.fetch(m, 1000); },
         STATUS_STREAM_NOT_CONSUMING},
        {"ack twice", [&] { return c.ack(m); }, STATUS_STREAM_ACKED},
        {"fetch with nothing stored", [&] { return c.fetch(m, 500); }, STATUS_STREAM_TIMEOUT},
        {"ack of what the binding before handed out",
         [&] {
             NATSSvcMsg held;
             EXPECT_EQ(STATUS_OK, unbound.consume(durable_of("ORD", "earlier")));
             EXPECT_EQ(1u, unbound.fetch(held, 5000));
             EXPECT_EQ(STATUS_OK, unbound.consume(durable_of("ORD", "later")));
             return unbound.ack(held);
         },
         STATUS_STREAM_ACKED},
        {"fetch, new messages only, with two stored",
         [&] {
             NATSConsumerConfig only_new = durable_of("ORD", "new");
             only_new.deliver_new = true;
             EXPECT_EQ(STATUS_OK, unbound.consume(only_new));
             return unbound.fetch(m, 500);
         },
         STATUS_STREAM_TIMEOUT},
        {"add before connect", [&] { return add(unconnected, "S", "s"); }, STATUS_NO_CONNECTION},
        {"fetch before connect", [&] { return unconnected_consumer.fetch(m, 100); },
         STATUS_NO_CONNECTION},
        {"no JetStream: add", [&] { return add(no_js, "S", "s"); }, NO_JS},
        {"no JetStream: list, what the vector held gone",
         [&] {
             Strings names{"stale"};
             const svc_status s = no_js.list_streams(names);
             EXPECT_TRUE(names.empty());
             return s;
         },
         NO_JS},
        {"no JetStream: publish", [&] { return no_js.publish("s", "x", 1); }, NO_JS},
        {"no JetStream: consume", [&] { return no_js_consumer.consume(durable_of("S", "d")); },
         NO_JS},
        {"fetch from a deleted consumer",
         [&] {
             jsCtx* js = nullptr;
             natsConnection_JetStream(&js, pub.conn(), nullptr);
             js_DeleteConsumer(js, "ORD", "d", nullptr, nullptr);
             jsCtx_Destroy(js);
             return c.fetch(m, 1000);
         },
         STATUS_STREAM_CONSUMER_NOT_FOUND},
        {"fetch from a deleted stream",
         [&] {
             EXPECT_EQ(STATUS_OK, pub.delete_stream("ORD"));
             return c.fetch(m, 1000);
         },
         NOT_FOUND},
        {"publish_complete with the server stopped",
         [&] {
             kill(server.pid(), SIGSTOP);  // the publish waits for an acknowledgement in vain
             waitpid(server.pid(), nullptr, WUNTRACED);  // stopped, all its threads
             EXPECT_EQ(STATUS_OK, pub.publish_async("none.c", "x", 1));
             const auto start = std::chrono::steady_clock::now();
             const svc_status s = pub.publish_complete(300);
             EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);  // not the request's 5 s
             return s;
         },
         STATUS_STREAM_TIMEOUT},
        {"fetch with the server gone",
         [&] {
             server.kill_hard();
             return c.fetch(m, 1000);
         },
         STATUS_STREAM_CONNECTION_LOST},
        {"publish with the server gone",
         [&] {
             EXPECT_TRUE(wait_until([&] { return natsConnection_IsClosed(pub.conn()); }));
             return pub.publish("ord.a", "x", 1);
         },
         STATUS_STREAM_CONNECTION_LOST},
    };
    for (const auto& row : rows) {
        const size_t errors = box.count("- error");
        EXPECT_EQ(row.code, row.call()) << row.name;
        EXPECT_GT(box.count("- error"), errors) << row.name << ": no error record";
    }
}

// What becomes of a message after each way of settling it, one stream per row: its deliveries
// counted until the consumer stays quiet for longer than ack_wait.
TEST_F(JetStream, SettlingDecidesRedelivery) {
    Watchdog dog(120s);
    using Settle = std::function<svc_status(CNATSStreamConsumer&, const NATSSvcMsg&)>;
    constexpr svc_status ACKED = STATUS_STREAM_ACKED;
    const struct {
        const char* name;
        Settle settle;
        std::int32_t max_deliver;
        std::uint64_t deliveries;
        svc_status late_ack;  // of the last delivery, once the consumer is quiet
    } rows[] = {
        {"ack: delivered once", [](auto& c, auto& m) { return c.ack(m); }, -1, 1, ACKED},
        {"nak: redelivered, as often as max_deliver allows",
         [](auto& c, auto& m) { return c.nak(m); }, 3, 3, ACKED},
        {"term: never again", [](auto& c, auto& m) { return c.term(m); }, 3, 1, ACKED},
        {"unsettled: back after ack_wait, as often as max_deliver allows",
         [](auto&, auto&) { return STATUS_OK; }, 2, 2, STATUS_OK},
    };
    for (const auto& row : rows) {
        const std::string name = "RD" + std::to_string(&row - rows);
        ASSERT_EQ(STATUS_OK, pub.add_stream({name, {name}}));
        // Sent twice with one message id: stored once (js-pub --id shows it for publish).
        ASSERT_EQ(STATUS_OK, pub.publish_async(name.c_str(), "x", 1, "id"));
        ASSERT_EQ(STATUS_OK, pub.publish_async(name.c_str(), "x", 1, "id"));
        ASSERT_EQ(STATUS_OK, pub.publish_complete(5000));
        CNATSStreamConsumer c;
        bind(c, durable_of(name, "d", 1000, row.max_deliver));
        std::uint64_t got = 0;
        NATSSvcMsg last;
        for (NATSSvcMsg m; got <= row.deliveries && c.fetch(m, 3000) == 1u; m = NATSSvcMsg()) {
            ++got;
            EXPECT_EQ(got, delivery_count(m)) << row.name;
            EXPECT_EQ(1u, stream_sequence(m)) << row.name;
            EXPECT_EQ(STATUS_OK, row.settle(c, m)) << row.name;
            last = m;
        }
        EXPECT_EQ(row.deliveries, got) << row.name;
        // A message is settled once, however often it was delivered; a subject that is no
        // acknowledgement subject settles nothing.
        NATSSvcMsg forged = last;
        forged.inbox = "$JS.ACK.not.a.sequence";
        EXPECT_EQ(ACKED, c.ack(forged)) << row.name;
        EXPECT_EQ(row.late_ack, c.ack(last)) << row.name;
        EXPECT_EQ(ACKED, c.ack(last)) << row.name;
    }
}

// Three consumers of one work-queue durable share its messages: each handed to exactly one.
TEST_F(JetStream, WorkQueueConsumersShareWithoutDuplicates) {
    Watchdog dog(120s);
    NATSStreamConfig config = {"WQ", {"wq"}};
    config.work_queue = true;
    config.memory_storage = true;
    config.max_msgs = 100000;
    config.max_bytes = 1 << 24;
    config.max_age_ms = 3600000;
    config.duplicate_window_ms = 60000;
    ASSERT_EQ(STATUS_OK, pub.add_stream(config));
    const size_t n = 3000 / SLOWDOWN;
    ASSERT_EQ(STATUS_OK, store(pub, "wq", "w", int(n)));
    NATSStreamInfo info;
    ASSERT_EQ(STATUS_OK, pub.stream_info("WQ", info));
    EXPECT_EQ(n, info.messages);
    EXPECT_GT(info.bytes, 4 * n);  // at least each one's subject and payload
    CNATSStreamConsumer consumers[3];
    std::vector<std::string> got[3];
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        bind(consumers[i], durable_of("WQ", "workers"));
        threads.emplace_back([&, i] { got[i] = drain(consumers[i]); });
    }
    for (std::thread& t : threads) t.join();
    std::multiset<std::string> all;
    for (const auto& g : got) all.insert(g.begin(), g.end());
    EXPECT_EQ(n, std::set<std::string>(all.begin(), all.end()).size());
    EXPECT_EQ(n, all.size());
    ASSERT_EQ(STATUS_OK, pub.stream_info("WQ", info));
    EXPECT_EQ(0u, info.messages);  // each was acknowledged, so removed
    EXPECT_TRUE(info.config.memory_storage);
    EXPECT_TRUE(info.config.work_queue);
    EXPECT_EQ(config.max_msgs, info.config.max_msgs);
    EXPECT_EQ(config.max_bytes, info.config.max_bytes);
    EXPECT_EQ(config.max_age_ms, info.config.max_age_ms);
    EXPECT_EQ(config.duplicate_window_ms, info.config.duplicate_window_ms);
}

// Every stream call, while destroy() runs on another thread, returns with a documented code.
TEST_F(JetStream, DestroyEndsEveryStreamCall) {
    Watchdog dog(180s);
    ASSERT_EQ(STATUS_OK, pub.add_stream({"TD", {"td"}}));
    const std::set<svc_status> ends{STATUS_NO_CONNECTION, STATUS_STREAM_CONNECTION_LOST,
                                    STATUS_STREAM_TIMEOUT};
    for (int round = 0; round < 20 / (SLOWDOWN > 1 ? 2 : 1); ++round) {
        CNATSStreamPublisher p;
        CNATSStreamConsumer c;
        ASSERT_EQ(STATUS_OK, p.connect(server.url().c_str(), timeouts(5000)));
        bind(c, durable_of("TD", "td"));
        const struct {
            const char* name;
            Call call;
        } calls[] = {{"publish", [&] { return p.publish("td", "x", 1); }},
                     {"publish_async", [&] { return p.publish_async("td", "x", 1); }},
                     {"fetch+ack", [&] {
                          NATSSvcMsg m;
                          const svc_status s = c.fetch(m, 200);
                          return s == 1u ? c.ack(m) : s == STATUS_STREAM_TIMEOUT ? STATUS_OK : s;
                      }}};
        std::vector<std::future<svc_status>> ended;
        for (const auto& call : calls) {
            ended.push_back(std::async(std::launch::async, [&call] {
                svc_status s = STATUS_OK;
                while (s == STATUS_OK) s = call.call();
                return s;
            }));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + round * 5));
        p.destroy();
        c.destroy();
        for (size_t i = 0; i < ended.size(); ++i)
            EXPECT_EQ(1u, ends.count(ended[i].get())) << calls[i].name << ", round " << round;
    }
}

// The stream actions of vek-nats, in order, each with its exit status and what it prints.
TEST_F(JetStream, CommandLineManagesStreams) {
    const struct {
        Strings args;
        const char* input;
        int exit;
        const char* printed;  // on standard output, or standard error for a failure
    } rows[] = {
        {{"stream", "add", "CL", "cl.>", "--max-age", "1m"}, "", 0, ""},
        {{"js-pub", "cl.a"}, "one\ntwo\n", 0, "1\n2\n"},
        {{"js-pub", "cl.a", "two", "--id", "x"}, "", 0, "3\n"},
        {{"js-pub", "cl.a", "again", "--id", "x"}, "", 0, "3\n"},
        {{"stream", "ls"}, "", 0, "CL\n"},
        {{"stream", "info", "CL"}, "", 0, "messages: 3\n"},
        {{"js-sub", "CL", "d", "--count", "3"}, "", 0, "cl.a: two (3 bytes)\ncl.a: two"},
        {{"js-pub", "cl.b", "bee"}, "", 0, "4\n"},
        {{"js-sub", "CL", "f", "--filter", "cl.b", "--count", "1"}, "", 0, "cl.b: bee"},
        {{"stream", "rm", "CL"}, "", 0, ""},
        {{"stream", "info", "CL"}, "", 1, "0x910E0611 no such stream"},
    };
    for (const auto& row : rows) {
        Strings argv{VEK_NATS_CLI, "--server", server.url()};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        Process cli(argv);
        cli.input(row.input);
        EXPECT_EQ(row.exit, cli.finish()) << row.args[0] << " " << row.args[1] << cli.err();
        const std::string printed = row.exit == 0 ? cli.out() : cli.err();
        EXPECT_NE(std::string::npos, printed.find(row.printed)) << row.args[1] << ": " << printed;
    }
}

// libnats 3.4 can lose messages it had queued for a subscription (a pull, or the replies to
// asynchronous publishes) that a connection closed while its reader thread still delivered;
// the library never holds them.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:natsMsg_create\n";
}

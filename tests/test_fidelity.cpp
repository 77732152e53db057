// Every byte, headers, no responders, drain, connection controls and events, against a real
// server.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <random>
#include <thread>

#include "support/harness.h"

namespace {

using namespace std::chrono_literals;
using namespace vek_nats;
using namespace vek_test;

NATSSvcParam params(bool binary) {
    NATSSvcParam p = timeouts(3000);
    p.binary_payloads = binary;
    return p;
}

// Names may come back in another order; values of one name keep theirs.
NATSSvcHeaders by_name(NATSSvcHeaders h) {
    std::stable_sort(h.begin(), h.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return h;
}

// Payloads and headers through every receive path: with binary_payloads every byte arrives;
// without, the text up to the first zero byte, and dataLen the full length (what reply sends
// is that text). Both roles receive through one queue and one synchronous path.
TEST(EveryByte, PayloadsAndHeadersArriveOnEveryPath) {
    std::string big(1 << 20, '\0');
    std::mt19937 random(7);
    for (char& c : big) c = static_cast<char>(random());
    NATSSvcHeaders hundred = {{"Big", std::string(64 * 1024, 'v')}};
    for (int i = 0; i < 100; ++i) hundred.emplace_back("X-" + std::to_string(i), "v");
    const struct {
        const char* name;
        std::string payload;
        NATSSvcHeaders headers;
    } rows[] = {{"empty, 100 headers, one of 64 KiB", "", hundred},
                {"zero byte in the middle, a repeated name",
                 std::string("ab\0cd", 5),
                 {{"A", "3"}, {"B", "x"}, {"A", "1"}, {"A", "2"}}},
                {"1 MiB random, no headers", big, {}}};
    const char* paths[] = {"subscriber recv", "subscriber recv_sync", "reply to request (recv)",
                           "reply to request (recv_sync)"};
    const char* subjects[] = {"e.q", "e.s", "e.rq", "e.rs"};
    for (const bool binary : {false, true}) {
        NatsServer server;
        ASSERT_TRUE(server.start());
        CNATSPublisher pub;
        CNATSSubscriber sub;
        CNATSReplier rep;
        CNATSRequestor req;
        for (CNATSSvc* o : std::vector<CNATSSvc*>{&pub, &sub, &rep, &req})
            ASSERT_EQ(o->connect(server.url().c_str(), params(binary)), STATUS_OK);
        ASSERT_EQ(sub.subscribe("e.q", nullptr, nullptr), STATUS_OK);
        ASSERT_EQ(sub.subscribe_sync("e.s"), STATUS_OK);
        ASSERT_EQ(rep.subscribe("e.rq", nullptr, nullptr), STATUS_OK);
        ASSERT_EQ(rep.subscribe_sync("e.rs"), STATUS_OK);
        ASSERT_EQ(sub.flush(5000), STATUS_OK);
        ASSERT_EQ(rep.flush(5000), STATUS_OK);
        for (const auto& row : rows) {
            const std::string& payload = row.payload;
            for (int path = 0; path < 4; ++path) {
                SCOPED_TRACE(std::string(paths[path]) + ", " + row.name + ", binary " +
                             (binary ? "on" : "off"));
                const char* subject = subjects[path];
                const bool sync = path % 2 == 1;
                const bool answered = path >= 2;  // the replier answers with what it got
                NATSSvcMsg m, answer;
                std::future<svc_status> asking;
                if (answered) {
                    asking = std::async(std::launch::async, [&] {
                        return req.request(subject, payload.data(), int(payload.size()),
                                           row.headers, answer);
                    });
                    sync ? rep.recv_sync(subject, m) : rep.recv(subject, m);
                    m.reply_data = m.data;
                    EXPECT_EQ(rep.reply(subject, m, m.headers), STATUS_OK);
                    EXPECT_EQ(asking.get(), STATUS_OK);
                    m = answer;
                } else {
                    ASSERT_EQ(
                        pub.publish(subject, payload.data(), int(payload.size()), row.headers),
                        STATUS_OK);
                    sync ? sub.recv_sync(subject, m) : sub.recv(subject, m);
                }
                const std::string text = payload.c_str();
                EXPECT_EQ(m.data, binary ? payload : text);
                const bool cut = !binary && answered;  // reply sent only the text
                EXPECT_EQ(m.dataLen, int(cut ? text.size() : payload.size()));
                EXPECT_EQ(by_name(m.headers), by_name(row.headers));
            }
        }
    }
}

// Hostile header names and values are refused by publish, request and reply, and nothing is
// sent: a subscriber on ">" sees only the markers between them.
TEST(Headers, HostileOnesAreRefusedUnsent) {
    NatsServer server;
    ASSERT_TRUE(server.start());
    CNATSPublisher pub;
    CNATSReplier rep;
    CNATSRequestor req;
    CNATSSubscriber watcher;
    for (CNATSSvc* o : std::vector<CNATSSvc*>{&pub, &rep, &req, &watcher})
        ASSERT_EQ(o->connect(server.url().c_str(), timeouts(300)), STATUS_OK);
    ASSERT_EQ(watcher.subscribe_sync(">"), STATUS_OK);
    ASSERT_EQ(watcher.flush(5000), STATUS_OK);
    const struct {
        const char* name;
        std::string key, value;
    } hostile[] = {
        {"colon in name", "A:B", "v"},       {"blank in name", "A B", "v"},
        {"line end in name", "A\r\nB", "v"}, {"CR in value", "A", "v\rPUB x 1"},
        {"LF in value", "A", "v\nx: y"},     {"zero in value", "A", std::string("v\0w", 3)}};
    Strings markers;
    for (const auto& row : hostile) {
        SCOPED_TRACE(row.name);
        const NATSSvcHeaders h = {{"Ok", "fine"}, {row.key, row.value}};
        EXPECT_EQ(pub.publish("h.bad", "p", 1, h), STATUS_PUBLISH);
        NATSSvcMsg answer;
        EXPECT_EQ(req.request("h.bad", "q", 1, h, answer), STATUS_REQUEST);
        NATSSvcMsg asked;
        asked.inbox = "h.bad.inbox";
        EXPECT_EQ(rep.reply("h.req", asked, h), STATUS_PUBLISH_STRING);
        markers.push_back("h.mark." + std::to_string(markers.size()));
        ASSERT_EQ(pub.publish_string(markers.back().c_str(), ""), STATUS_OK);
    }
    Strings seen;
    for (NATSSvcMsg m; watcher.recv_sync(">", m) == STATUS_OK;) seen.push_back(m.subject);
    EXPECT_EQ(seen, markers);
}

// A request nobody serves fails at once with NATS_NO_RESPONDERS as its cause; a silent
// replier still makes it wait for request_timeout, with NATS_TIMEOUT.
TEST(NoResponders, ToldApartFromATimeOut) {
    NatsServer server;
    ASSERT_TRUE(server.start());
    CNATSReplier silent;
    ASSERT_EQ(silent.connect(server.url().c_str(), params(false)), STATUS_OK);
    ASSERT_EQ(silent.subscribe_sync("nr.silent"), STATUS_OK);
    ASSERT_EQ(silent.flush(5000), STATUS_OK);
    CNATSRequestor req;
    ASSERT_EQ(req.connect(server.url().c_str(), timeouts(400)), STATUS_OK);
    const struct {
        const char* subject;
        natsStatus cause;
        bool waits;
    } rows[] = {{"nr.none", NATS_NO_RESPONDERS, false}, {"nr.silent", NATS_TIMEOUT, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.subject);
        NATSSvcMsg answer;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(req.request_string(row.subject, "x", answer), STATUS_REQUEST_STRING);
        EXPECT_EQ(last_nats_status(), row.cause);
        EXPECT_EQ(std::chrono::steady_clock::now() - start >= 300ms, row.waits);
    }
}

// A member of a queue group that answers with what it got, slowly enough that requests wait
// in its queue, until its recv finds it drained and empty, or destroyed.
struct Worker {
    CNATSReplier rep;
    std::thread serving;
    explicit Worker(const std::string& url) {
        EXPECT_EQ(rep.connect(url.c_str(), params(false)), STATUS_OK);
        EXPECT_EQ(rep.subscribe_queue("d.work", "workers"), STATUS_OK);
        EXPECT_EQ(rep.flush(5000), STATUS_OK);
        serving = std::thread([this] {
            for (;;) {
                NATSSvcMsg msg;
                rep.recv("d.work", msg);
                if (msg.subject.empty()) return;
                std::this_thread::sleep_for(5ms);
                msg.reply_data = msg.data;
                rep.reply("d.work", msg);
            }
        });
    }
    ~Worker() {
        rep.destroy();
        serving.join();
    }
};

// Three workers serve four requesting threads; each in turn is taken out (drained, or
// destroyed) and replaced. Drain loses no request; destroy does.
TEST(Drain, QueueGroupMembersLeaveWithoutLosingARequest) {
    Watchdog dog(120s);
    for (const bool drain : {true, false}) {
        NatsServer server;
        ASSERT_TRUE(server.start());
        const std::string url = server.url();
        std::unique_ptr<Worker> members[3];
        for (auto& m : members) m = std::make_unique<Worker>(url);
        CNATSRequestor req;
        ASSERT_EQ(req.connect(url.c_str(), timeouts(1000)), STATUS_OK);
        std::atomic<bool> running{true};
        std::atomic<int> sent{0}, lost{0};
        std::vector<std::thread> asking;
        for (int t = 0; t < 4; ++t) {
            asking.emplace_back([&] {
                for (NATSSvcMsg answer; running;) {
                    ++sent;
                    if (req.request_string("d.work", "job", answer) != STATUS_OK) ++lost;
                }
            });
        }
        for (auto& m : members) {
            std::this_thread::sleep_for(300ms);
            if (drain) {
                EXPECT_EQ(m->rep.drain(5000), STATUS_OK);
            }
            m = std::make_unique<Worker>(url);  // the one replaced is destroyed
        }
        std::this_thread::sleep_for(300ms);
        running = false;
        for (std::thread& t : asking) t.join();
        std::printf("%s: %d of %d requests lost\n", drain ? "drain" : "destroy", lost.load(),
                    sent.load());
        EXPECT_GT(sent.load(), 20);
        EXPECT_EQ(lost.load() == 0, drain);
    }
}

// drain(0) is refused and leaves the object as it was; destroy() on another thread ends a
// drain that waits for an answer that never comes.
TEST(Drain, DestroyFromAnotherThreadEndsAWaitingDrain) {
    NatsServer server;
    ASSERT_TRUE(server.start());
    CNATSReplier rep;
    CNATSRequestor req;
    ASSERT_EQ(rep.connect(server.url().c_str(), params(false)), STATUS_OK);
    ASSERT_EQ(req.connect(server.url().c_str(), timeouts(200)), STATUS_OK);
    ASSERT_EQ(rep.subscribe("dd.x", nullptr, nullptr), STATUS_OK);
    ASSERT_EQ(rep.flush(5000), STATUS_OK);
    NATSSvcMsg answer, taken;
    EXPECT_EQ(req.request_string("dd.x", "q", answer), STATUS_REQUEST_STRING);
    ASSERT_EQ(rep.recv("dd.x", taken), 1u);  // taken, never answered: drain waits for it
    EXPECT_EQ(rep.drain(0), STATUS_DRAIN);
    auto draining = std::async(std::launch::async, [&] { return rep.drain(60000); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(draining.wait_for(0s), std::future_status::timeout);
    EXPECT_EQ(rep.destroy(), STATUS_OK);
    ASSERT_EQ(draining.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(draining.get(), STATUS_DRAIN);
}

// A server restart tells the caller disconnected, then reconnected; after destroy() returned,
// nothing more.
TEST(Events, RestartIsToldInOrderAndNothingAfterDestroy) {
    NatsServer server;
    ASSERT_TRUE(server.start());
    std::mutex mutex;
    std::vector<conn_event> events;
    NATSSvcParam p = timeouts(1000, -1, 50);
    p.on_event = [&](conn_event e, svc_status) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(e);
    };
    const auto told = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    };
    CNATSSubscriber sub;
    ASSERT_EQ(sub.connect(server.url().c_str(), p), STATUS_OK);
    server.stop();
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(wait_until([&] { return told().size() >= 2; }));
    EXPECT_EQ(told(), (std::vector<conn_event>{conn_event::disconnected, conn_event::reconnected}));
    sub.destroy();
    const size_t after_destroy = told().size();
    server.stop();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(told().size(), after_destroy);
}

// The connection name and the inbox prefix reach the server (its trace), and no-echo keeps a
// replier's answer on a subject it serves from itself.
TEST(Controls, NameInboxPrefixAndNoEchoReachTheServer) {
    const std::string trace = "/tmp/fidelity-server.log";  // the test's own /tmp
    NatsServer server(0, {"-V", "-l", trace});
    ASSERT_TRUE(server.start());
    NATSSvcParam p = params(false);
    p.name = "fidelity-\"probe\"";
    p.inbox_prefix = "fid.inbox";
    CNATSRequestor req;
    ASSERT_EQ(req.connect(server.url().c_str(), p), STATUS_OK);
    NATSSvcMsg answer;
    EXPECT_EQ(req.request_string("ctl.none", "q", answer), STATUS_REQUEST_STRING);
    for (const char* needle : {R"("name":"fidelity-\"probe\"")", "PUB ctl.none fid.inbox."}) {
        EXPECT_TRUE(wait_until([&] { return read_file(trace).find(needle) != std::string::npos; }))
            << needle;
    }
    for (const bool no_echo : {true, false}) {
        SCOPED_TRACE(no_echo ? "no echo" : "echo");
        CNATSReplier rep;
        NATSSvcParam r = params(false);
        r.no_echo = no_echo;
        ASSERT_EQ(rep.connect(server.url().c_str(), r), STATUS_OK);
        ASSERT_EQ(rep.subscribe("ne.serve", nullptr, nullptr), STATUS_OK);
        // Answered on the subject it serves: echoed back to it unless no-echo is set.
        NATSSvcMsg own;
        own.inbox = "ne.serve";
        ASSERT_EQ(rep.reply("ne.serve", own), STATUS_OK);
        ASSERT_EQ(rep.flush(5000), STATUS_OK);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(rep.queued(), no_echo ? 0u : 1u);
    }
}

// Each connection control that libnats (or the check of its text) refuses fails connect with
// its own code.
TEST(Controls, RefusedSettingsFailConnectWithTheirCodes) {
    NatsServer server;
    ASSERT_TRUE(server.start());
    const std::string nobody = "nats://127.0.0.1:1";  // refused at once
    using P = NATSSvcParam&;
    const struct {
        const char* name;
        std::function<void(P)> set;
        svc_status code;
        bool no_server = false;
    } rows[] = {
        {"name with LF", [](P p) { p.name = "a\nb"; }, STATUS_OPTIONS_NAME},
        {"negative ping", [](P p) { p.ping_interval = -1; }, STATUS_OPTIONS_PING_INTERVAL},
        {"negative pings out", [](P p) { p.max_pings_out = -1; }, STATUS_OPTIONS_MAX_PINGS_OUT},
        {"jitter below -1", [](P p) { p.reconnect_jitter = -2; }, STATUS_OPTIONS_RECONNECT_JITTER},
        {"negative buffer", [](P p) { p.reconnect_buffer_size = -1; },
         STATUS_OPTIONS_RECONNECT_BUFFER},
        {"wildcard prefix", [](P p) { p.inbox_prefix = "a.*"; }, STATUS_OPTIONS_INBOX_PREFIX},
        {"prefix with CR", [](P p) { p.inbox_prefix = "a\rb"; }, STATUS_OPTIONS_INBOX_PREFIX},
        {"no server, retrying", [](P p) { p.retry_on_failed_connect = true; }, STATUS_OK, true},
        {"no server", [](P) {}, STATUS_CONNECT, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        NATSSvcParam p = params(false);
        row.set(p);
        CNATSPublisher pub;
        EXPECT_EQ(pub.connect((row.no_server ? nobody : server.url()).c_str(), p), row.code);
    }
}

}  // namespace

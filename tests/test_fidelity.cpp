// Every byte, headers, no responders, drain, connection controls and events, against a real
// server.
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "support/harness.h"

namespace {

using namespace vek_nats;
using namespace vek_test;
// Names may come back in another order; values of one name keep theirs.
using ByName = std::multimap<std::string, std::string>;

class Fidelity : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    NatsServer server;
};

// Payloads and headers through every receive path: with binary_payloads every byte arrives;
// without, the text up to the first zero byte, and dataLen the full length (what reply sends
// is that text). Hostile header names and values are refused by publish, request and reply,
// and nothing is sent: a subscriber on ">" sees only the markers between them.
TEST_F(Fidelity, PayloadsAndHeadersArriveOnEveryPathAndHostileHeadersAreRefusedUnsent) {
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
    const NATSSvcHeaders repeated = {{"A", "3"}, {"B", "x"}, {"A", "1"}, {"A", "2"}};
    const struct {
        const char* name;
        std::string payload;
        NATSSvcHeaders headers;
    } rows[] = {{"empty, a header of 64 KiB", "", {{"Big", std::string(64 * 1024, 'v')}}},
                {"a zero byte inside, a name repeated", std::string("ab\0cd", 5), repeated},
                {"1 MiB of every byte value, no headers", big, {}}};
    for (const bool binary : {false, true}) {
        NATSSvcParam p = timeouts(3000);
        p.binary_payloads = binary;
        CNATSPublisher pub;
        CNATSSubscriber sub;
        CNATSReplier rep;
        CNATSRequestor req;
        for (CNATSSvc* o : std::vector<CNATSSvc*>{&pub, &sub, &rep, &req})
            ASSERT_EQ(o->connect(server.url().c_str(), p), STATUS_OK);
        ASSERT_EQ(sub.subscribe("sub.recv", nullptr, nullptr), STATUS_OK);
        ASSERT_EQ(rep.subscribe_sync("rep.recv_sync"), STATUS_OK);
        ASSERT_EQ(sub.flush(5000), STATUS_OK);
        ASSERT_EQ(rep.flush(5000), STATUS_OK);
        NATSSvcMsg m, answer;  // reused from row to row, as a caller's loop would
        for (const auto& row : rows) {
            // Published to the subscriber's queue, or asked of the replier, who answers with
            // what it got.
            for (const bool answered : {false, true}) {
                const char* subject = answered ? "rep.recv_sync" : "sub.recv";
                SCOPED_TRACE(std::string(subject) + ", " + row.name + ", binary " +
                             (binary ? "on" : "off"));
                if (answered) {
                    auto asking = std::async(std::launch::async, [&] {
                        return req.request(subject, row.payload.data(), int(row.payload.size()),
                                           row.headers, answer);
                    });
                    rep.recv_sync(subject, m);
                    m.reply_data = m.data;
                    EXPECT_EQ(rep.reply(subject, m, m.headers), STATUS_OK);
                    EXPECT_EQ(asking.get(), STATUS_OK);
                    m = answer;
                } else {
                    ASSERT_EQ(pub.publish(subject, row.payload.data(), int(row.payload.size()),
                                          row.headers),
                              STATUS_OK);
                    sub.recv(subject, m);
                }
                const std::string text = row.payload.c_str();
                EXPECT_EQ(m.data, binary ? row.payload : text);
                const bool cut = !binary && answered;  // reply sent only the text
                EXPECT_EQ(m.dataLen, int(cut ? text.size() : row.payload.size()));
                EXPECT_EQ(ByName(m.headers.begin(), m.headers.end()),
                          ByName(row.headers.begin(), row.headers.end()));
            }
        }
        CNATSSubscriber watcher;
        ASSERT_EQ(watcher.connect(server.url().c_str(), timeouts(300)), STATUS_OK);
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
            NATSSvcMsg asked;  // never answered, then the message answered
            EXPECT_EQ(req.request("h.bad", "q", 1, h, asked), STATUS_REQUEST);
            asked.inbox = "h.bad.inbox";
            EXPECT_EQ(rep.reply("h.req", asked, h), STATUS_PUBLISH_STRING);
            markers.push_back("h.mark." + std::to_string(markers.size()));
            ASSERT_EQ(pub.publish_string(markers.back().c_str(), ""), STATUS_OK);
        }
        Strings seen;
        while (watcher.recv_sync(">", m) == STATUS_OK) seen.push_back(m.subject);
        EXPECT_EQ(seen, markers);
    }
}

// A request taken while a drain waits for the subscription to empty: answered, the answer goes
// out before the drain closes the connection (the payload is large, so that copying it into the
// caller's record outlasts a drain that would not count it as taken yet); never answered, the
// request waits for request_timeout with NATS_TIMEOUT as its cause, and the drain waits until
// destroy() on another thread ends it, or its own time runs out, its cause recorded. drain(0)
// is refused and changes nothing.
TEST_F(Fidelity, ADrainWaitsForTheAnswerToATakenRequest) {
    LogSandbox box;
    CNATSRequestor req;
    ASSERT_EQ(req.connect(server.url().c_str(), timeouts(2000)), STATUS_OK);
    CNATSSubscriber watcher;  // sees each request when the server sends it on
    ASSERT_EQ(watcher.connect(server.url().c_str(), timeouts(5000)), STATUS_OK);
    ASSERT_EQ(watcher.subscribe_sync("dw"), STATUS_OK);
    ASSERT_EQ(watcher.flush(5000), STATUS_OK);
    const std::string big(900 * 1024, 'r');
    const struct {
        const char* name;
        bool sync, answered, destroyed;
        std::int64_t drain_ms;
        svc_status drained, asked;
        int rounds;  // the window is narrow: it is met in some rounds only
    } rows[] = {
        {"recv_sync, answered", true, true, false, 5000, STATUS_OK, STATUS_OK, 5},
        {"recv, never answered, destroyed", false, false, true, 60000, STATUS_DRAIN, STATUS_REQUEST,
         1},
        {"recv, never answered, drain timed out", false, false, false, 1000, STATUS_DRAIN,
         STATUS_REQUEST, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (int round = 0; round < row.rounds; ++round) {
            CNATSReplier rep;
            ASSERT_EQ(rep.connect(server.url().c_str(), timeouts(5000)), STATUS_OK);
            ASSERT_EQ(row.sync ? rep.subscribe_sync("dw") : rep.subscribe("dw", nullptr, nullptr),
                      STATUS_OK);
            ASSERT_EQ(rep.flush(5000), STATUS_OK);
            natsStatus cause = NATS_OK;
            const auto start = std::chrono::steady_clock::now();
            auto asking = std::async(std::launch::async, [&] {
                NATSSvcMsg answer;
                const svc_status s = req.request("dw", big.data(), int(big.size()), answer);
                cause = last_nats_status();
                return s;
            });
            NATSSvcMsg seen;
            ASSERT_EQ(watcher.recv_sync("dw", seen), int(big.size()));
            ASSERT_EQ(rep.flush(5000), STATUS_OK);  // the request waits in the subscription
            EXPECT_EQ(rep.drain(0), STATUS_DRAIN);
            EXPECT_EQ(rep.flush(1000), STATUS_OK);  // the connection is still open
            auto draining = std::async(std::launch::async, [&] { return rep.drain(row.drain_ms); });
            std::this_thread::sleep_for(20ms);  // the drain waits for it to be taken
            NATSSvcMsg taken;
            ASSERT_EQ(row.sync ? rep.recv_sync("dw", taken) : rep.recv("dw", taken),
                      int(big.size()));
            if (row.answered) {
                taken.reply_data = "done";
                std::this_thread::sleep_for(20ms);  // a slow answer: still counted as taken
                rep.reply("dw", taken);
            } else {
                EXPECT_EQ(draining.wait_for(200ms), std::future_status::timeout);
            }
            if (row.destroyed) {
                EXPECT_EQ(rep.destroy(), STATUS_OK);
            }
            ASSERT_EQ(draining.wait_for(5s), std::future_status::ready);
            EXPECT_EQ(draining.get(), row.drained);
            EXPECT_EQ(asking.get(), row.asked);
            if (row.answered) continue;
            EXPECT_EQ(cause, NATS_TIMEOUT);
            // request_timeout, give or take libnats' timer, not ended by the drain's close
            EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
            EXPECT_EQ(box.count(" timeout=" + std::to_string(row.drain_ms) + " ms"), 1u);
        }
    }
}

// The connection name and the inbox prefix reach the server (its trace), and no-echo keeps a
// replier's answer on a subject it serves from itself. Each control that libnats (or the
// check of its text) refuses fails connect with its own code.
TEST(Controls, ReachTheServerOrFailConnectWithTheirCodes) {
    const std::string trace = "/tmp/fidelity-server.log";  // the test's own /tmp
    NatsServer server(0, {"-V", "-l", trace});
    ASSERT_TRUE(server.start());
    NATSSvcParam named = timeouts(3000);
    named.name = "fidelity-\"probe\"";
    named.inbox_prefix = "fid.inbox";
    named.ping_interval = 100;  // answered, as the default of two pings out allows
    CNATSRequestor req;
    ASSERT_EQ(req.connect(server.url().c_str(), named), STATUS_OK);
    NATSSvcMsg msg;  // never answered; below, answered on the subject its replier serves
    EXPECT_EQ(req.request_string("ctl.none", "q", msg), STATUS_REQUEST_STRING);
    // The CONNECT is traced before the request's PUB.
    EXPECT_TRUE(wait_until(
        [&] { return read_file(trace).find("PUB ctl.none fid.inbox.") != std::string::npos; }));
    EXPECT_NE(read_file(trace).find(R"("name":"fidelity-\"probe\"")"), std::string::npos);
    // Its pings, every 100 ms, reach the server: soon more than its connect and flush send.
    std::smatch made;
    const std::string traced = read_file(trace);
    ASSERT_TRUE(
        std::regex_search(traced, made, std::regex(R"(cid:(\d+) - <<- \[CONNECT .*fidelity)")));
    const std::string mine = "cid:" + made[1].str() + " - ";
    const auto pings = [&] {
        std::istringstream lines(read_file(trace));
        int n = 0;
        for (std::string line; std::getline(lines, line);)
            n += line.find(mine) != std::string::npos &&
                 line.find("<<- [PING]") != std::string::npos;
        return n;
    };
    EXPECT_TRUE(wait_until([&] { return pings() >= 5; })) << pings();
    for (const bool no_echo : {true, false}) {
        SCOPED_TRACE(no_echo ? "no echo" : "echo");
        CNATSReplier rep;
        named.no_echo = no_echo;
        ASSERT_EQ(rep.connect(server.url().c_str(), named), STATUS_OK);
        ASSERT_EQ(rep.subscribe("ne.serve", nullptr, nullptr), STATUS_OK);
        // Answered on the subject it serves: echoed back to it unless no-echo is set.
        msg.inbox = "ne.serve";
        ASSERT_EQ(rep.reply("ne.serve", msg), STATUS_OK);
        ASSERT_EQ(rep.flush(5000), STATUS_OK);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(rep.queued(), no_echo ? 0u : 1u);
    }
    EXPECT_EQ(req.flush(1000), STATUS_OK);  // after seconds of pings
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
        NATSSvcParam refused = timeouts(3000);
        row.set(refused);
        CNATSPublisher pub;
        const std::string url = row.no_server ? "nats://127.0.0.1:1" : server.url();  // refused
        EXPECT_EQ(pub.connect(url.c_str(), refused), row.code);
    }
}

}  // namespace

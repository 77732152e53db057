// Every byte, headers, no responders, drain, connection controls and events, against a real
// server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

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

// A libnats connection of the test's own that sees every subject.
struct RawWatcher {
    natsConnection* nc = nullptr;
    natsSubscription* sub = nullptr;
    explicit RawWatcher(const NatsServer& server) {
        natsConnection_ConnectTo(&nc, server.url().c_str());
        natsConnection_SubscribeSync(&sub, nc, ">");
        natsConnection_FlushTimeout(nc, 5000);
    }
    ~RawWatcher() {
        natsSubscription_Destroy(sub);
        natsConnection_Destroy(nc);
    }
    Strings subjects() {
        Strings seen;
        for (natsMsg* m = nullptr; natsSubscription_NextMsg(&m, sub, 300) == NATS_OK;) {
            seen.push_back(natsMsg_GetSubject(m));
            natsMsg_Destroy(m);
        }
        return seen;
    }
};

// Payloads through every receive path: with binary_payloads every byte arrives; without, the
// text up to the first zero byte, and dataLen the full length (what reply sends is that text).
TEST(EveryByte, PayloadsArriveWholeOrAsTextOnEveryPath) {
    std::string big(1 << 20, '\0');
    std::mt19937 random(7);
    for (char& c : big) c = static_cast<char>(random());
    const std::string rows[] = {
        "", "hello", std::string("\0abc", 4), std::string("ab\0cd", 5), std::string("abc\0", 4),
        big};
    const char* paths[] = {
        "subscriber recv",   "subscriber recv_sync",    "replier recv",
        "replier recv_sync", "reply to request (recv)", "reply to request (recv_sync)"};
    const char* subjects[] = {"e.q", "e.s", "e.rq", "e.rs", "e.rq", "e.rs"};
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
        for (const std::string& payload : rows) {
            for (int path = 0; path < 6; ++path) {
                SCOPED_TRACE(std::string(paths[path]) + ", " + std::to_string(payload.size()) +
                             " bytes, binary " + (binary ? "on" : "off"));
                const char* subject = subjects[path];
                const bool sync = path % 2 == 1;
                const bool answered = path >= 4;  // the replier answers with what it got
                NATSSvcMsg m, answer;
                std::future<svc_status> asking;
                if (answered) {
                    asking = std::async(std::launch::async, [&] {
                        return req.request(subject, payload.data(), int(payload.size()), answer);
                    });
                } else {
                    ASSERT_EQ(pub.publish(subject, payload.data(), int(payload.size())), STATUS_OK);
                }
                if (path < 2) {
                    EXPECT_GE(sync ? sub.recv_sync(subject, m) : sub.recv(subject, m), 0u);
                } else {
                    EXPECT_GE(sync ? rep.recv_sync(subject, m) : rep.recv(subject, m), 0u);
                }
                if (answered) {
                    m.reply_data = m.data;
                    EXPECT_EQ(rep.reply(subject, m), STATUS_OK);
                    EXPECT_EQ(asking.get(), STATUS_OK);
                    m = answer;
                }
                const std::string text = payload.c_str();
                EXPECT_EQ(m.data, binary ? payload : text);
                const bool cut = !binary && answered;  // reply sent only the text
                EXPECT_EQ(m.dataLen, int(cut ? text.size() : payload.size()));
            }
        }
    }
}

// Headers sent by publish, request and reply arrive with the message (a repeated name keeps
// its values in order); hostile names and values are refused and nothing is sent.
TEST(Headers, ArriveWithTheMessageAndHostileOnesAreRefusedUnsent) {
    NatsServer server;
    ASSERT_TRUE(server.start());
    CNATSPublisher pub;
    CNATSSubscriber sub;
    CNATSReplier rep;
    CNATSRequestor req;
    for (CNATSSvc* o : std::vector<CNATSSvc*>{&pub, &sub, &rep, &req})
        ASSERT_EQ(o->connect(server.url().c_str(), params(false)), STATUS_OK);
    ASSERT_EQ(sub.subscribe("h.pub", nullptr, nullptr), STATUS_OK);
    ASSERT_EQ(rep.subscribe("h.req", nullptr, nullptr), STATUS_OK);
    ASSERT_EQ(rep.flush(5000), STATUS_OK);
    ASSERT_EQ(sub.flush(5000), STATUS_OK);
    NATSSvcHeaders hundred;
    for (int i = 0; i < 100; ++i) hundred.emplace_back("X-" + std::to_string(i), "v");
    // Names may come back in another order; values of one name keep theirs.
    const auto by_name = [](NATSSvcHeaders h) {
        std::stable_sort(h.begin(), h.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        return h;
    };
    const struct {
        const char* name;
        NATSSvcHeaders headers;
    } good[] = {{"none", {}},
                {"one", {{"Trace-Id", "abc"}}},
                {"repeated name", {{"A", "3"}, {"B", "x"}, {"A", "1"}, {"A", "2"}}},
                {"100 headers", hundred},
                {"64 KiB value", {{"Big", std::string(64 * 1024, 'v')}}}};
    for (const auto& row : good) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(pub.publish("h.pub", "p", 1, row.headers), STATUS_OK);
        NATSSvcMsg got;
        ASSERT_EQ(sub.recv("h.pub", got), 1u);
        EXPECT_EQ(by_name(got.headers), by_name(row.headers));
        NATSSvcMsg answer;
        auto asking = std::async(std::launch::async,
                                 [&] { return req.request("h.req", "q", 1, row.headers, answer); });
        NATSSvcMsg asked;
        ASSERT_EQ(rep.recv("h.req", asked), 1u);
        EXPECT_EQ(by_name(asked.headers), by_name(row.headers));
        EXPECT_EQ(rep.reply("h.req", asked, row.headers), STATUS_OK);
        ASSERT_EQ(asking.get(), STATUS_OK);
        EXPECT_EQ(by_name(answer.headers), by_name(row.headers));
    }
    RawWatcher watcher(server);
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
    ASSERT_EQ(pub.flush(5000), STATUS_OK);
    EXPECT_EQ(watcher.subjects(), markers);
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
    NATSSvcParam p = params(false);
    p.request_timeout = 400;
    ASSERT_EQ(req.connect(server.url().c_str(), p), STATUS_OK);
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
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(last_nats_status(), row.cause);
        EXPECT_EQ(took >= 300ms, row.waits);
        std::printf("%s: %lld ms\n", row.subject,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    }
}

// Three repliers of one queue group serve four requesting threads; each member in turn is
// taken out (drained, or destroyed) and replaced. Drain loses no request; destroy does.
TEST(Drain, QueueGroupMembersLeaveWithoutLosingARequest) {
    Watchdog dog(120s);
    for (const bool drain : {true, false}) {
        NatsServer server;
        ASSERT_TRUE(server.start());
        const std::string url = server.url();
        struct Member {
            std::unique_ptr<CNATSReplier> rep = std::make_unique<CNATSReplier>();
            std::thread serving;
        };
        const auto join = [&url](Member& m) {
            ASSERT_EQ(m.rep->connect(url.c_str(), params(false)), STATUS_OK);
            ASSERT_EQ(m.rep->subscribe_queue("d.work", "workers"), STATUS_OK);
            ASSERT_EQ(m.rep->flush(5000), STATUS_OK);
            m.serving = std::thread([rep = m.rep.get()] {
                for (;;) {
                    NATSSvcMsg msg;
                    rep->recv("d.work", msg);
                    if (msg.subject.empty()) return;   // drained and empty, or destroyed
                    std::this_thread::sleep_for(5ms);  // busy: requests wait in its queue
                    msg.reply_data = msg.data;
                    rep->reply("d.work", msg);
                }
            });
        };
        Member members[3];
        for (Member& m : members) join(m);
        std::atomic<bool> running{true};
        std::atomic<int> sent{0}, lost{0};
        std::vector<std::thread> asking;
        for (int t = 0; t < 4; ++t) {
            asking.emplace_back([&] {
                CNATSRequestor req;
                NATSSvcParam p = params(false);
                p.request_timeout = 1000;
                if (req.connect(url.c_str(), p) != STATUS_OK) return;
                for (NATSSvcMsg answer; running;) {
                    ++sent;
                    if (req.request_string("d.work", "job", answer) != STATUS_OK) ++lost;
                }
            });
        }
        for (Member& m : members) {
            std::this_thread::sleep_for(300ms);
            if (drain) {
                EXPECT_EQ(m.rep->drain(5000), STATUS_OK);
            } else {
                m.rep->destroy();
            }
            m.serving.join();
            m = Member();
            join(m);
        }
        std::this_thread::sleep_for(300ms);
        running = false;
        for (std::thread& t : asking) t.join();
        for (Member& m : members) {
            m.rep->destroy();
            m.serving.join();
        }
        std::printf("%s: %d of %d requests lost\n", drain ? "drain" : "destroy", lost.load(),
                    sent.load());
        EXPECT_GT(sent.load(), 20);
        EXPECT_EQ(lost.load() == 0, drain);
    }
}

// destroy() on another thread ends a drain that waits for an answer that never comes, and
// the receive that waited with it.
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

std::string http_get(int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string text;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
        const std::string ask = "GET " + path + " HTTP/1.0\r\n\r\n";
        EXPECT_EQ(write(fd, ask.data(), ask.size()), ssize_t(ask.size()));
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) text.append(buf, size_t(n));
    }
    close(fd);
    return text;
}

// The connection name reaches the server's monitoring, the inbox prefix the replier's
// msg.inbox, and no-echo keeps a replier's answer on a subject it serves from itself.
TEST(Controls, NameInboxPrefixAndNoEchoReachTheServer) {
    const int monitor = free_port();
    NatsServer server(0, {"-m", std::to_string(monitor)});
    ASSERT_TRUE(server.start());
    NATSSvcParam p = params(false);
    p.name = "fidelity-\"probe\"";
    p.inbox_prefix = "fid.inbox";
    CNATSRequestor req;
    ASSERT_EQ(req.connect(server.url().c_str(), p), STATUS_OK);
    EXPECT_NE(http_get(monitor, "/connz").find(R"("name": "fidelity-\"probe\"")"),
              std::string::npos);
    for (const bool no_echo : {true, false}) {
        SCOPED_TRACE(no_echo ? "no echo" : "echo");
        CNATSReplier rep;
        NATSSvcParam r = params(false);
        r.no_echo = no_echo;
        ASSERT_EQ(rep.connect(server.url().c_str(), r), STATUS_OK);
        ASSERT_EQ(rep.subscribe("ne.serve", nullptr, nullptr), STATUS_OK);
        ASSERT_EQ(rep.flush(5000), STATUS_OK);
        NATSSvcMsg answer;
        auto asking = std::async(std::launch::async,
                                 [&] { return req.request_string("ne.serve", "q", answer); });
        NATSSvcMsg asked;
        ASSERT_EQ(rep.recv("ne.serve", asked), 1u);
        EXPECT_EQ(asked.inbox.rfind("fid.inbox.", 0), 0u) << asked.inbox;
        asked.reply_data = "a";
        ASSERT_EQ(rep.reply("ne.serve", asked), STATUS_OK);
        EXPECT_EQ(asking.get(), STATUS_OK);
        // Answered on the subject it serves: echoed back to it unless no-echo is set.
        asked.inbox = "ne.serve";
        ASSERT_EQ(rep.reply("ne.serve", asked), STATUS_OK);
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
    const struct {
        const char* name;
        std::function<void(NATSSvcParam&)> set;
        svc_status code;
        bool no_server = false;
    } rows[] = {
        {"name with LF", [](NATSSvcParam& p) { p.name = "a\nb"; }, STATUS_OPTIONS_NAME},
        {"negative ping", [](NATSSvcParam& p) { p.ping_interval = -1; },
         STATUS_OPTIONS_PING_INTERVAL},
        {"negative pings out", [](NATSSvcParam& p) { p.max_pings_out = -1; },
         STATUS_OPTIONS_MAX_PINGS_OUT},
        {"jitter below -1", [](NATSSvcParam& p) { p.reconnect_jitter = -2; },
         STATUS_OPTIONS_RECONNECT_JITTER},
        {"negative buffer", [](NATSSvcParam& p) { p.reconnect_buffer_size = -1; },
         STATUS_OPTIONS_RECONNECT_BUFFER},
        {"wildcard prefix", [](NATSSvcParam& p) { p.inbox_prefix = "a.*"; },
         STATUS_OPTIONS_INBOX_PREFIX},
        {"prefix with CR", [](NATSSvcParam& p) { p.inbox_prefix = "a\rb"; },
         STATUS_OPTIONS_INBOX_PREFIX},
        {"no server, retrying", [](NATSSvcParam& p) { p.retry_on_failed_connect = true; },
         STATUS_OK, true},
        {"no server", [](NATSSvcParam&) {}, STATUS_CONNECT, true},
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

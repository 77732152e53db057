// Tearing objects down while other threads use them: readers blocked in recv, recv_sync and
// request, messages still arriving, objects created and destroyed on many threads at once, and
// connections still reconnecting. Every scenario runs many bounded rounds; a crash, a hang or
// a sanitizer report fails it.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/log_sandbox.h"
#include "support/nats_server.h"
#include "test_fault_support.h"
#include "vek_nats/vek_nats.h"

using namespace vek_nats;
using namespace std::chrono_literals;
using vek_fault::live_objects;
using vek_fault::quick_param;
using vek_fault::Watchdog;
using vek_test::LogSandbox;
using vek_test::NatsServer;

namespace {

constexpr int ROUNDS = 50;
// A woken reader must be back well before any time-out of its own (10 s here) could end it.
constexpr auto WAKE_BOUND = 3s;
// Heavy traffic for the delivery races, at a rate that sanitizer builds can still drain.
constexpr auto HEAVY_PAUSE = std::chrono::microseconds(50 * vek_fault::SLOWDOWN);

NATSSvcParam long_waits() {
    NATSSvcParam p;
    p.request_timeout = 10000;
    p.recv_timeout = 10000;
    p.max_reconnect = 0;
    return p;
}

// Publishes on `subject` from its own thread until stopped.
class Flood {
public:
    // Publishes 64 messages, then pauses for `pause`.
    Flood(const std::string& url, std::string subject, std::chrono::microseconds pause = 1ms)
        : m_subject(std::move(subject)) {
        m_ok = m_pub.connect(url.c_str(), NATSSvcParam()) == STATUS_OK;
        if (m_ok) {
            m_thread = std::thread([this, pause] {
                const std::string payload(64, 'f');
                while (!m_stop.load(std::memory_order_relaxed)) {
                    if (m_pub.publish_string(m_subject.c_str(), payload.c_str()) == STATUS_OK) {
                        ++m_sent;
                    }
                    if (m_sent % 64 == 0) std::this_thread::sleep_for(pause);
                }
            });
        }
    }
    ~Flood() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    bool ok() const { return m_ok; }
    long sent() const { return m_sent.load(); }

private:
    CNATSPublisher m_pub;
    std::string m_subject;
    bool m_ok = false;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_sent{0};
    std::thread m_thread;
};

class Teardown : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    LogSandbox box;
    NatsServer server;
};

// Waits for every future within `bound`; false when one is still running.
template <class T>
bool all_ready(std::vector<std::future<T>>& futures, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (auto& f : futures) {
        if (f.wait_until(deadline) != std::future_status::ready) return false;
    }
    return true;
}

}  // namespace

// Every call that waits inside an object or uses its connection, while destroy() runs on
// another thread and messages still arrive: it returns within a bound with one of its
// documented results, never crashes or hangs on the released connection.
TEST_F(Teardown, DestroyFromAnotherThreadEndsEveryCallInBoundedTime) {
    Watchdog dog("teardown of busy objects", 180s);
    Flood flood(server.url(), "td.flood");
    ASSERT_TRUE(flood.ok());
    CNATSSubscriber silent;  // takes the requests and never answers them
    ASSERT_EQ(silent.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    ASSERT_EQ(silent.subscribe("td.req", nullptr, nullptr), STATUS_OK);
    ASSERT_EQ(silent.flush(5000), STATUS_OK);
    constexpr svc_status BAD = 0xFFFFFFFFu;  // the call touched the caller's record
    const std::string big(64 * 1024, 'p');
    // Calls that succeed go on until something else ends them.
    const auto until = [](svc_status going_on, std::function<svc_status()> call) {
        return [going_on, call] {
            svc_status r = going_on;
            while ((r = call()) == going_on) {
            }
            return r;
        };
    };
    long read = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        CNATSSubscriber sub;
        CNATSReplier rep;
        CNATSRequestor req;
        CNATSPublisher pub;
        for (CNATSSvc* obj : std::vector<CNATSSvc*>{&sub, &rep, &req, &pub}) {
            ASSERT_EQ(obj->connect(server.url().c_str(), long_waits()), STATUS_OK);
        }
        ASSERT_EQ(sub.subscribe("td.q", nullptr, nullptr), STATUS_OK);
        ASSERT_EQ(sub.subscribe_sync("td.flood"), STATUS_OK);
        ASSERT_EQ(rep.subscribe("td.rq", nullptr, nullptr), STATUS_OK);
        ASSERT_EQ(rep.subscribe_sync("td.flood"), STATUS_OK);
        std::atomic<long> got{0};
        const auto queue_read = [&](auto* role, const char* subject) {
            return [role, subject] {
                NATSSvcMsg m;
                m.data = "mine";
                const svc_status r = role->recv(subject, m);
                return m.data == "mine" ? r : BAD;
            };
        };
        const auto sync_read = [&](auto* role) {
            return until(64u, [role, &got] {
                NATSSvcMsg m;
                const svc_status r = role->recv_sync("td.flood", m);
                got += r == 64u ? 1 : 0;
                return r;
            });
        };
        const struct {
            const char* what;
            std::function<svc_status()> call;
            std::vector<svc_status> ends;
        } calls[] = {
            {"recv of a subscriber", queue_read(&sub, "td.q"), {STATUS_OK}},
            {"recv of a replier", queue_read(&rep, "td.rq"), {STATUS_OK}},
            {"recv_sync of a subscriber",
             sync_read(&sub),
             {STATUS_NEXT_MSG, STATUS_NO_SUBSCRIPTION}},
            {"recv_sync of a replier", sync_read(&rep), {STATUS_NEXT_MSG, STATUS_NO_SUBSCRIPTION}},
            {"request",
             [&req] {
                 NATSSvcMsg m;
                 return req.request("td.req", "ping", 4, m);
             },
             {STATUS_REQUEST}},
            {"request_string",
             [&req] {
                 NATSSvcMsg m;
                 return req.request_string("td.req", "ping", m);
             },
             {STATUS_REQUEST_STRING}},
            {"publish",
             until(
                 STATUS_OK,
                 [&] { return pub.publish("td.sink", big.data(), static_cast<int>(big.size())); }),
             {STATUS_NO_CONNECTION, STATUS_PUBLISH}},
            {"flush",
             until(STATUS_OK, [&sub] { return sub.flush(10000); }),
             {STATUS_NO_CONNECTION, STATUS_FLUSH}},
        };
        std::vector<std::future<svc_status>> running;
        for (const auto& c : calls) running.push_back(std::async(std::launch::async, c.call));
        std::this_thread::sleep_for(5ms);  // most of them are inside by now, some may not be
        for (CNATSSvc* obj : round % 2 == 0 ? std::vector<CNATSSvc*>{&sub, &rep, &req, &pub}
                                            : std::vector<CNATSSvc*>{&pub, &req, &rep, &sub}) {
            obj->destroy();
        }
        ASSERT_TRUE(all_ready(running, WAKE_BOUND)) << "a call still blocks, round " << round;
        for (size_t i = 0; i < running.size(); ++i) {
            const svc_status r = running[i].get();
            EXPECT_NE(std::find(calls[i].ends.begin(), calls[i].ends.end(), r), calls[i].ends.end())
                << calls[i].what << " gave 0x" << std::hex << r << ", round " << std::dec << round;
        }
        read += got;
        if (round + 1 < ROUNDS) continue;
        // Torn down for good: a recv returns at once, also after connecting and subscribing
        // again; the slots are empty.
        ASSERT_EQ(rep.connect(server.url().c_str(), long_waits()), STATUS_OK);
        ASSERT_EQ(rep.subscribe("td.rq", nullptr, nullptr), STATUS_OK);
        auto again = std::async(std::launch::async, queue_read(&rep, "td.rq"));
        ASSERT_EQ(again.wait_for(WAKE_BOUND), std::future_status::ready);
        EXPECT_EQ(again.get(), STATUS_OK);
        NATSSvcMsg m;
        EXPECT_EQ(sub.recv_sync("td.flood", m), STATUS_NO_SUBSCRIPTION);
    }
    // Every queue reader ended through the terminate path, none through an error or a message.
    EXPECT_EQ(box.count("- oops: terminate, subj-> td.q"), static_cast<size_t>(ROUNDS));
    EXPECT_EQ(box.count("- oops: terminate, subj-> td.rq"), static_cast<size_t>(ROUNDS) + 1);
    EXPECT_GT(read, 0) << "the readers never got a message, so teardown never met traffic";
    std::printf("busy teardown: %d rounds, %ld messages read, %ld published\n", ROUNDS, read,
                flood.sent());
}

// Two threads change the slots of one object at once: each subscription gets a slot of its
// own, and an unsubscribe, a connect or another destroy racing destroy() releases each handle
// once, whoever comes first.
TEST_F(Teardown, SlotsChangedFromSeveralThreadsAtOnce) {
    Watchdog dog("slot races", 120s);
    NATSSvcParam param = long_waits();
    param.recv_timeout = 1;
    for (int round = 0; round < 2 * ROUNDS; ++round) {
        CNATSSubscriber sub;
        ASSERT_EQ(sub.connect(server.url().c_str(), param), STATUS_OK);
        std::atomic<int> ready{0};
        const auto at_once = [&ready](std::function<svc_status()> call) {
            return std::async(std::launch::async, [&ready, call] {
                ++ready;
                while (ready.load() < 2) {
                }
                return call();
            });
        };
        const bool sync = round % 2 == 0;
        const auto subscribe = [&sub, sync](const char* s) {
            return sync ? sub.subscribe_sync(s) : sub.subscribe(s, nullptr, nullptr);
        };
        auto a = at_once([&] { return subscribe("sl.a"); });
        auto b = at_once([&] { return subscribe("sl.b"); });
        ASSERT_EQ(a.get(), STATUS_OK) << "round " << round;
        ASSERT_EQ(b.get(), STATUS_OK) << "round " << round;
        // Each subject has a subscription of its own: NextMsg runs (and times out, or refuses
        // an asynchronous subscription) instead of finding no subscription.
        NATSSvcMsg m;
        EXPECT_EQ(sub.recv_sync("sl.a", m), STATUS_NEXT_MSG) << "round " << round;
        EXPECT_EQ(sub.recv_sync("sl.b", m), STATUS_NEXT_MSG) << "round " << round;

        ready = 0;
        auto gone = std::async(std::launch::async, [&sub, &ready] {
            ++ready;
            while (ready.load() < 2) {
            }
            const auto ok = [](svc_status r) { return r == STATUS_OK || r == STATUS_UNSUBSCRIBE; };
            return ok(sub.unsubscribe("sl.a")) && ok(sub.unsubscribe("sl.b"));
        });
        auto teardown = at_once([&sub] { return sub.destroy(); });
        EXPECT_EQ(teardown.get(), STATUS_OK);
        EXPECT_TRUE(gone.get()) << "round " << round;

        // connect racing destroy, then two destroys: whichever runs second finds the other's
        // work done, never the same handles half released.
        ready = 0;
        auto again = at_once([&] { return sub.connect(server.url().c_str(), param); });
        auto first = at_once([&sub] { return sub.destroy(); });
        EXPECT_EQ(again.get(), STATUS_OK) << "round " << round;
        EXPECT_EQ(first.get(), STATUS_OK);
        ready = 0;
        auto second = at_once([&sub] { return sub.destroy(); });
        auto third = at_once([&sub] { return sub.destroy(); });
        EXPECT_EQ(second.get() | third.get(), STATUS_OK);
    }
}

// Runs `rounds` rounds: a subscriber and a replier, each with several subscriptions of the
// flooded subject, take messages until `teardown` ends them while the flood goes on.
template <class Teardown>
long delivery_rounds(const std::string& url, int rounds, Teardown teardown) {
    long queued_at_teardown = 0;
    for (int round = 0; round < rounds; ++round) {
        auto sub = std::make_unique<CNATSSubscriber>();
        auto rep = std::make_unique<CNATSReplier>();
        if (sub->connect(url.c_str(), NATSSvcParam()) != STATUS_OK ||
            rep->connect(url.c_str(), NATSSvcParam()) != STATUS_OK) {
            ADD_FAILURE() << "connect, round " << round;
            return -1;
        }
        // Several subscriptions of the one subject: several delivery paths into one queue.
        for (int s = 0; s < 3; ++s) {
            EXPECT_EQ(sub->subscribe("td.flood", nullptr, nullptr), STATUS_OK);
            EXPECT_EQ(rep->subscribe("td.flood", nullptr, nullptr), STATUS_OK);
        }
        EXPECT_EQ(sub->subscribe_sync("td.flood"), STATUS_OK);
        if (!vek_test::wait_until([&] { return sub->queued() > 0 && rep->queued() > 0; }, 5s)) {
            ADD_FAILURE() << "no delivery before teardown, round " << round;
            return -1;
        }
        queued_at_teardown += static_cast<long>(sub->queued() + rep->queued());
        teardown(round, sub, rep);
    }
    return queued_at_teardown;
}

TEST_F(Teardown, ObjectsDestroyedWhileMessagesAreDelivered) {
    Watchdog dog("delivery teardown rounds", 120s);
    Flood flood(server.url(), "td.flood", HEAVY_PAUSE);
    ASSERT_TRUE(flood.ok());
    constexpr int TEARDOWN_ROUNDS = 2 * ROUNDS;
    const long queued =
        delivery_rounds(server.url(), TEARDOWN_ROUNDS, [](int round, auto& sub, auto& rep) {
            if (round % 2 == 0) {
                rep.reset();  // the destructors run destroy() themselves
                sub.reset();
            } else {
                sub->destroy();
                rep->destroy();
                EXPECT_EQ(sub->flush(10), STATUS_NO_CONNECTION);
                sub.reset();
                rep.reset();
            }
        });
    EXPECT_GT(queued, 0);
    // Two objects a round; every other round they say "bye" twice (destroy(), destructor).
    EXPECT_EQ(box.count("- bye"), 2u * 3u * (TEARDOWN_ROUNDS / 2));
    std::printf("delivery teardown: %d rounds, %ld records queued at teardown, %ld published\n",
                TEARDOWN_ROUNDS, queued, flood.sent());
}

TEST_F(Teardown, UnsubscribeWhileMessagesAreDelivered) {
    Watchdog dog("unsubscribe rounds", 120s);
    Flood flood(server.url(), "td.flood", HEAVY_PAUSE);
    ASSERT_TRUE(flood.ok());
    constexpr int TEARDOWN_ROUNDS = 2 * ROUNDS;
    const long queued =
        delivery_rounds(server.url(), TEARDOWN_ROUNDS, [](int, auto& sub, auto& rep) {
            // Every subscription of the subject, the synchronous one included, goes while the
            // client still delivers on it; the objects go afterwards.
            for (int s = 0; s < 4; ++s) EXPECT_EQ(sub->unsubscribe("td.flood"), STATUS_OK);
            EXPECT_EQ(sub->unsubscribe("td.flood"), STATUS_UNSUBSCRIBE);
            sub.reset();
            rep.reset();
        });
    EXPECT_GT(queued, 0);
    std::printf("unsubscribe under delivery: %d rounds, %ld published\n", TEARDOWN_ROUNDS,
                flood.sent());
}

// A busy subscriber elsewhere in the process must not hold up the construction and teardown
// of other objects: their delivery threads never leave the process without a callback
// running, so anything that waits for "no callback anywhere" would wait forever.
TEST_F(Teardown, ObjectsComeAndGoBesideABusySubscriber) {
    Watchdog dog("objects beside a busy subscriber", 120s);
    Flood flood(server.url(), "td.busy", HEAVY_PAUSE);
    ASSERT_TRUE(flood.ok());
    CNATSSubscriber busy;
    ASSERT_EQ(busy.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    for (int s = 0; s < CNATSSvc::SLOT_COUNT; ++s) {
        ASSERT_EQ(busy.subscribe("td.busy", nullptr, nullptr), STATUS_OK);
    }
    std::atomic<bool> draining{true};
    std::thread drain([&] {
        NATSSvcMsg m;
        while (draining.load() && busy.recv("td.busy", m) == 64u) {
        }
    });
    ASSERT_TRUE(vek_test::wait_until([&] { return flood.sent() > 1000; }, 5s));

    std::chrono::steady_clock::duration slowest{};
    for (int round = 0; round < ROUNDS; ++round) {
        const auto start = std::chrono::steady_clock::now();
        {
            CNATSSubscriber sub;
            ASSERT_EQ(sub.connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
            ASSERT_EQ(sub.subscribe("td.busy", nullptr, nullptr), STATUS_OK);
        }
        slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
        ASSERT_LT(slowest, 5s)
            << "round " << round << " took "
            << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count() << " ms";
    }
    draining = false;
    busy.destroy();
    drain.join();
    std::printf(
        "beside a busy subscriber: %d objects made and destroyed, slowest %lld ms, %ld "
        "published\n",
        ROUNDS,
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count()),
        flood.sent());
}

// Objects of every role come and go on four threads while one object stays: the client
// library is closed exactly once, by the last object, after every other object said "bye".
TEST_F(Teardown, ObjectsOnManyThreadsCloseTheLibraryOnceAtTheEnd) {
    Watchdog dog("parallel objects", 180s);
    auto anchor = std::make_unique<CNATSPublisher>();
    ASSERT_EQ(anchor->connect(server.url().c_str(), NATSSvcParam()), STATUS_OK);
    constexpr int THREADS = 4;
    constexpr int PER_THREAD = 15;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            const std::string subject = "td.many." + std::to_string(t);
            for (int i = 0; i < PER_THREAD; ++i) {
                CNATSSubscriber sub;
                CNATSPublisher pub;
                CNATSReplier rep;
                CNATSRequestor req;
                NATSSvcMsg m;
                if (sub.connect(server.url().c_str(), NATSSvcParam()) != STATUS_OK ||
                    pub.connect(server.url().c_str(), NATSSvcParam()) != STATUS_OK ||
                    rep.connect(server.url().c_str(), NATSSvcParam()) != STATUS_OK ||
                    req.connect(server.url().c_str(), NATSSvcParam()) != STATUS_OK ||
                    sub.subscribe(subject.c_str(), nullptr, nullptr) != STATUS_OK ||
                    rep.subscribe_sync((subject + ".q").c_str()) != STATUS_OK ||
                    sub.flush(5000) != STATUS_OK || rep.flush(5000) != STATUS_OK ||
                    pub.publish_string(subject.c_str(), "hi") != STATUS_OK ||
                    sub.recv(subject.c_str(), m) != 2u) {
                    ++failures;
                }
                // A request through the replier's synchronous path, answered by reply.
                std::thread ask([&req, &subject] {
                    NATSSvcMsg reply;
                    req.request_string((subject + ".q").c_str(), "?", reply);
                });
                NATSSvcMsg q;
                if (rep.recv_sync((subject + ".q").c_str(), q) != 1u) ++failures;
                q.reply_data = "!";
                if (rep.reply((subject + ".q").c_str(), q) != STATUS_OK) ++failures;
                ask.join();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(live_objects(), 1);
    EXPECT_EQ(box.count("- nats_Close()"), 0u);

    anchor.reset();
    EXPECT_EQ(live_objects(), 0);
    EXPECT_EQ(box.count("- nats_Close()"), 1u);
    const std::vector<std::string> messages = box.messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_NE(messages.back().find("- nats_Close()"), std::string::npos)
        << "last record: " << messages.back();
    EXPECT_EQ(box.count("- bye"), 1u + 4u * THREADS * PER_THREAD);
}

// Without an object that outlives the others, the count falls to 0 again and again while
// other threads construct and connect new objects; each of them must still connect at once.
TEST_F(Teardown, LastObjectClosingTheLibraryRacesWithNewObjects) {
    Watchdog dog("library close races", 180s);
    constexpr int THREADS = 3;
    constexpr int PER_THREAD = 20;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            const std::string subject = "td.close." + std::to_string(t);
            for (int i = 0; i < PER_THREAD; ++i) {
                auto sub = std::make_unique<CNATSSubscriber>();
                NATSSvcMsg m;
                if (sub->connect(server.url().c_str(), NATSSvcParam()) != STATUS_OK ||
                    sub->subscribe(subject.c_str(), nullptr, nullptr) != STATUS_OK ||
                    sub->flush(5000) != STATUS_OK) {
                    ++failures;
                    continue;
                }
                CNATSPublisher pub;
                if (pub.connect(server.url().c_str(), NATSSvcParam()) != STATUS_OK ||
                    pub.publish_string(subject.c_str(), "x") != STATUS_OK ||
                    sub->recv(subject.c_str(), m) != 1u) {
                    ++failures;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(live_objects(), 0);
    EXPECT_GE(box.count("- nats_Close()"), 1u);
    const std::vector<std::string> messages = box.messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_NE(messages.back().find("- nats_Close()"), std::string::npos);
}

// libnats 3.4 may run the closed and disconnected handlers after natsConnection_Destroy
// returned when the connection was still reconnecting; the objects are gone by then, and a
// new object, often made where the first one lived, must not hear of them.
TEST_F(Teardown, ObjectsDestroyedWhileReconnectingIgnoreLateCallbacks) {
    Watchdog dog("reconnect teardown rounds", 180s);
    std::mt19937 rng(7);
    constexpr int OBJECTS = 3;
    int reused = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        if (round > 0) {
            ASSERT_TRUE(server.start()) << "restart, round " << round;
        }
        std::vector<std::unique_ptr<CNATSSvc>> objects;
        for (int i = 0; i < OBJECTS; ++i) {
            auto sub = std::make_unique<CNATSSubscriber>();
            ASSERT_EQ(sub->connect(server.url().c_str(), quick_param(1000, 20)), STATUS_OK);
            ASSERT_EQ(sub->subscribe("td.reconnect", nullptr, nullptr), STATUS_OK);
            objects.push_back(std::move(sub));
        }
        auto pub = std::make_unique<CNATSPublisher>();
        ASSERT_EQ(pub->connect(server.url().c_str(), quick_param(1000, 20)), STATUS_OK);
        for (int i = 0; i < 100; ++i) pub->publish_string("td.reconnect", "r");
        objects.push_back(std::move(pub));

        server.kill_hard();
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
        // Some objects go in the middle of a reconnection attempt, the rest a little later.
        std::unique_ptr<CNATSSubscriber> successor;
        for (size_t i = 0; i < objects.size(); ++i) {
            const void* was = objects[i].get();
            objects[i].reset();
            if (i == 0) {
                successor = std::make_unique<CNATSSubscriber>();
                reused += successor.get() == was ? 1 : 0;
            }
            if (i == 1) std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
        }
        NATSSvcMsg m;
        auto waiting = std::async(std::launch::async, [&] { return successor->recv("x", m); });
        EXPECT_EQ(waiting.wait_for(200ms), std::future_status::timeout)
            << "a report of a destroyed connection reached a new object, round " << round;
        successor->destroy();
        EXPECT_EQ(waiting.get(), STATUS_OK);
        successor.reset();
        EXPECT_EQ(live_objects(), 0);
    }
    // Late handlers found no live object, so nothing was logged for one after its "bye".
    EXPECT_EQ(box.count("- bye"), static_cast<size_t>(ROUNDS * (OBJECTS + 3)));
    std::printf("late reports: %d rounds, %d successors at the address of a destroyed object\n",
                ROUNDS, reused);
}

#if defined(__SANITIZE_ADDRESS__)
// libnats 3.4 can lose messages it had already queued for a subscription that is unsubscribed
// while its reader thread still delivers (seen as an indirect leak from natsMsg_create, rarely,
// in UnsubscribeWhileMessagesAreDelivered). The library never holds those messages; the other
// test programs keep reporting every leaked message.
extern "C" const char* __lsan_default_suppressions() { return "leak:natsMsg_create\n"; }
#endif

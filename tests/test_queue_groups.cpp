// Queue groups: each message of a subject goes to one member of a group, while plain
// subscribers of the subject still get every message; the subscribe operations refuse what
// they cannot make; repliers in separate processes on a three-node cluster share requests and
// carry on when one of them is killed.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "test_fault_support.h"
#include "test_pubsub_support.h"

namespace pubsub_test {
namespace {

using namespace vek_nats;
using vek_fault::count_from_env;
using vek_fault::Watchdog;

// Joins `subject` by one of the four subscribe operations of a role.
template <class Role>
svc_status join(Role& r, bool sync, bool queue, const char* subject, const char* group) {
    if (!queue) return sync ? r.subscribe_sync(subject) : r.subscribe(subject, nullptr, nullptr);
    return sync ? r.subscribe_sync_queue(subject, group) : r.subscribe_queue(subject, group);
}

template <class Role>
class Slots : public Role {
public:
    std::string slot(int i) const { return this->m_sub_list[i].subject_name; }
};

// ---- sharing: one table of group setups ----

struct Member {
    bool replier;
    bool sync;
    const char* group;  // null: a plain subscription
};

struct Sharing {
    const char* what;
    std::vector<Member> members;
};

const Sharing kSharings[] = {
    {"three queued subscribers in a group beside a plain one",
     {{false, false, "g"}, {false, false, "g"}, {false, false, "g"}, {false, false, nullptr}}},
    {"three synchronous subscribers in a group beside a plain one",
     {{false, true, "g"}, {false, true, "g"}, {false, true, "g"}, {false, true, nullptr}}},
    {"repliers, queued and synchronous, in a group beside a plain one",
     {{true, false, "g"}, {true, true, "g"}, {true, false, "g"}, {true, true, nullptr}}},
    {"two groups on one subject",
     {{false, false, "a"}, {true, true, "a"}, {true, false, "b"}, {false, true, "b"}}},
};

struct Running {
    std::unique_ptr<CNATSSvc> svc;
    std::function<svc_status(NATSSvcMsg&)> take;
    std::vector<int> hits;  // per message number, written by the reader only
    std::thread reader;
};

template <class Role>
void start(Running& run, const Member& m, const std::string& url, const NATSSvcParam& p) {
    auto role = std::make_unique<Role>();
    ASSERT_EQ(STATUS_OK, role->connect(url.c_str(), p));
    ASSERT_EQ(STATUS_OK, join(*role, m.sync, m.group != nullptr, "work", m.group));
    ASSERT_EQ(STATUS_OK, role->flush(5000));
    Role* r = role.get();
    run.take = [r, sync = m.sync](NATSSvcMsg& msg) {
        return sync ? r->recv_sync("work", msg) : r->recv("work", msg);
    };
    run.svc = std::move(role);
}

using QueueGroups = PubSubTest;

TEST_F(QueueGroups, EachGroupGetsEveryMessageOnceAndPlainMembersGetAll) {
    Watchdog dog("queue group sharing", std::chrono::seconds(240));
    const int n = static_cast<int>(count_from_env("VEK_QG_MESSAGES", 10000, 500));
    param.recv_timeout = 200;
    Pub pub;
    connect(pub);
    for (const Sharing& setup : kSharings) {
        SCOPED_TRACE(setup.what);
        std::vector<Running> members(setup.members.size());
        long expected = 0;
        std::map<std::string, std::vector<int>> groups;
        for (size_t i = 0; i < members.size(); ++i) {
            const Member& m = setup.members[i];
            ASSERT_NO_FATAL_FAILURE(
                m.replier ? start<CNATSReplier>(members[i], m, server.url(), param)
                          : start<CNATSSubscriber>(members[i], m, server.url(), param));
            if (m.group != nullptr) groups[m.group].assign(n, 0);
            expected += m.group != nullptr ? 0 : n;
        }
        expected += static_cast<long>(groups.size()) * n;

        std::atomic<long> arrived{0};
        std::atomic<bool> stop{false};
        for (Running& run : members) {
            run.hits.assign(n, 0);
            run.reader = std::thread([&run, &arrived, &stop, n] {
                for (;;) {
                    NATSSvcMsg msg;
                    const svc_status r = run.take(msg);
                    if (r == STATUS_NEXT_MSG && !stop) continue;
                    if (r == 0 || r >= STATUS_NO_CONNECTION) return;  // ended or failed
                    const int seq = std::atoi(msg.data.c_str());
                    if (seq >= 0 && seq < n) ++run.hits[seq];
                    ++arrived;
                }
            });
        }
        for (int seq = 0; seq < n; ++seq) {
            EXPECT_EQ(STATUS_OK, pub.publish_string("work", std::to_string(seq).c_str()));
        }
        EXPECT_EQ(STATUS_OK, pub.flush(5000));
        const bool all = vek_test::wait_until([&] { return arrived >= expected; }, 60s);
        // Anything delivered twice would be on its way by now.
        for (Running& run : members) EXPECT_EQ(STATUS_OK, run.svc->flush(5000));
        std::this_thread::sleep_for(100ms);
        stop = true;
        for (Running& run : members) {
            run.svc->destroy();
            run.reader.join();
        }
        EXPECT_TRUE(all) << arrived << " of " << expected << " arrived";
        EXPECT_EQ(expected, arrived.load());

        for (size_t i = 0; i < members.size(); ++i) {
            const std::vector<int>& hits = members[i].hits;
            const char* group = setup.members[i].group;
            if (group == nullptr) {
                EXPECT_EQ(n, std::count(hits.begin(), hits.end(), 1)) << "plain member " << i;
                continue;
            }
            std::vector<int>& sums = groups[group];
            for (int seq = 0; seq < n; ++seq) sums[seq] += hits[seq];
            const long share = std::count_if(hits.begin(), hits.end(), [](int h) { return h > 0; });
            EXPECT_GE(share, n / 5) << "member " << i << " of group " << group;
        }
        for (const auto& [name, sums] : groups) {
            EXPECT_EQ(n, std::count(sums.begin(), sums.end(), 1)) << "group " << name;
        }
    }
}

// A handler of the caller's takes its subscription's messages, which never reach the queue;
// without one the library's handler queues them, whatever closure came along.
TEST_F(QueueGroups, CallerHandlerTakesMessagesThatTheQueueNeverSees) {
    Pub pub;
    connect(pub);
    const natsMsgHandler count_and_free = [](natsConnection*, natsSubscription*, natsMsg* m,
                                             void* closure) {
        ++*static_cast<std::atomic<int>*>(closure);
        natsMsg_Destroy(m);
    };
    const auto check = [&](auto& r, const char* group) {
        std::atomic<int> handled{0};
        const auto join_with = [&](const char* subject, natsMsgHandler cb) {
            return group != nullptr ? r.subscribe_queue(subject, group, cb, &handled)
                                    : r.subscribe(subject, cb, &handled);
        };
        connect(r);
        ASSERT_EQ(STATUS_OK, join_with("h.own", count_and_free));
        ASSERT_EQ(STATUS_OK, join_with("h.lib", nullptr));
        ASSERT_EQ(STATUS_OK, r.flush(5000));
        for (const char* subject : {"h.own", "h.own", "h.own", "h.lib"}) {
            ASSERT_EQ(STATUS_OK, pub.publish_string(subject, subject));
        }
        EXPECT_TRUE(vek_test::wait_until([&] { return handled == 3 && r.queued() == 1; }, 5s))
            << handled << " handled, " << r.queued() << " queued";
        NATSSvcMsg msg;
        EXPECT_EQ(5u, r.recv("h.own", msg));
        EXPECT_EQ("h.lib", msg.subject);
        r.destroy();  // no delivery may reach `handled` after this scope

        // A forwarder without closure leaves the message to its owner.
        natsMsg* m = nullptr;
        ASSERT_EQ(NATS_OK, natsMsg_Create(&m, "stray", nullptr, "x", 1));
        r.onMsg_callback_wrapper(nullptr, nullptr, m, nullptr);
        EXPECT_STREQ("stray", natsMsg_GetSubject(m));
        natsMsg_Destroy(m);
        EXPECT_EQ(0u, r.queued());
    };
    for (const char* group : {static_cast<const char*>(nullptr), "g"}) {
        SCOPED_TRACE(group != nullptr ? "subscribe_queue" : "subscribe");
        CNATSSubscriber sub;
        check(sub, group);
        CNATSReplier rep;
        check(rep, group);
    }
}

// ---- refusals: every subscribe operation of both roles ----

struct Way {
    const char* op;
    bool replier;
    bool sync;
    bool queue;
    svc_status refused;
    const char* joined;  // the line of a success, "{i}" and "{s}" for slot and subject
};

const Way kWays[] = {
    {"subscribe", false, false, false, STATUS_SUBSCRIBE, "- error: i= {i} subj-> {s}"},
    {"subscribe_queue", false, false, true, STATUS_SUBSCRIBE,
     "- error: i= {i} subj-> {s}, group-> g"},
    {"subscribe_sync", false, true, false, STATUS_SUBSCRIBE_SYNC, nullptr},
    {"subscribe_sync_queue", false, true, true, STATUS_SUBSCRIBE_SYNC, nullptr},
    {"subscribe", true, false, false, STATUS_SUBSCRIBE, "subject_name = {s}"},
    {"subscribe_queue", true, false, true, STATUS_SUBSCRIBE, "subject_name = {s}, group = g"},
    {"subscribe_sync", true, true, false, STATUS_SUBSCRIBE_SYNC, nullptr},
    {"subscribe_sync_queue", true, true, true, STATUS_SUBSCRIBE_SYNC, nullptr},
};

std::string put(std::string text, const std::string& key, const std::string& value) {
    const size_t at = text.find(key);
    return at == std::string::npos ? text : text.replace(at, key.size(), value);
}

TEST_F(QueueGroups, SubscribeOperationsRefuseWhatTheyCannotMake) {
    const auto refusals = [this](auto& r, const Way& w) {
        EXPECT_EQ(STATUS_NO_CONNECTION, join(r, w.sync, w.queue, "s", "g"));
        EXPECT_EQ(1u, count(w.op, "- error: empty connection"));
        connect(r);

        struct Bad {
            const char* subject;
            const char* group;
            natsStatus s;
        };
        std::vector<Bad> bad{{nullptr, "g", NATS_INVALID_SUBJECT}};
        if (w.queue) {
            bad.insert(bad.end(), {{"s", nullptr, NATS_INVALID_ARG},
                                   {"s", "", NATS_INVALID_ARG},
                                   {"s", "a b", NATS_INVALID_QUEUE_NAME}});
        }
        for (const Bad& b : bad) {
            // A null group is shown as the empty group it is handed on as.
            std::string shown = b.subject != nullptr ? b.subject : "(null)";
            if (w.queue) shown += std::string(", group-> ") + (b.group != nullptr ? b.group : "");
            const std::string line = format("- error: (%u - %s) subj-> %s", unsigned(b.s),
                                            natsStatus_GetText(b.s), shown.c_str());
            const size_t before = count(w.op, line);
            EXPECT_EQ(w.refused, join(r, w.sync, w.queue, b.subject, b.group));
            EXPECT_EQ(before + 1, count(w.op, line)) << shown;
        }
        for (int i = 0; i < CNATSSvc::SLOT_COUNT; ++i) EXPECT_EQ("", r.slot(i)) << i;

        for (int i = 0; i < CNATSSvc::SLOT_COUNT; ++i) {
            const std::string subject = "s" + std::to_string(i);
            EXPECT_EQ(STATUS_OK, join(r, w.sync, w.queue, subject.c_str(), "g"));
            EXPECT_EQ(subject, r.slot(i));
            if (w.joined == nullptr) continue;
            const std::string line = put(put(w.joined, "{i}", std::to_string(i)), "{s}", subject);
            EXPECT_EQ(1u, count(w.op, line));
        }
        EXPECT_EQ(w.refused, join(r, w.sync, w.queue, "s5", "g"));
        const std::string full =
            std::string("- error: full size subj-> s5") + (w.queue ? ", group-> g" : "");
        EXPECT_EQ(1u, count(w.op, full));
        // Nothing else: successes of the synchronous forms are silent.
        const size_t joined = w.joined != nullptr ? CNATSSvc::SLOT_COUNT : 0;
        EXPECT_EQ(bad.size() + 2 + joined, lines(w.op).size());
    };
    for (const Way& w : kWays) {
        SCOPED_TRACE(std::string(w.replier ? "CNATSReplier::" : "CNATSSubscriber::") + w.op);
        vek_test::LogSandbox own;  // each operation's lines on their own
        if (w.replier) {
            Slots<CNATSReplier> r;
            refusals(r, w);
        } else {
            Slots<CNATSSubscriber> r;
            refusals(r, w);
        }
    }
}

// ---- repliers as separate processes on a cluster ----

// A program of its own, run through the shell; a thread collects its output until it ends.
class Child {
public:
    // The shell prints its pid, which the program keeps when the shell execs it.
    explicit Child(const std::string& command)
        : m_out(popen(("echo $$; exec " + command + " 2>&1").c_str(), "r")), m_reader([this] {
              char buf[4096];
              ssize_t got = 0;
              while (m_out != nullptr && (got = ::read(fileno(m_out), buf, sizeof(buf))) > 0) {
                  std::lock_guard<std::mutex> lock(m_mutex);
                  m_text.append(buf, static_cast<size_t>(got));
              }
          }) {}
    ~Child() { end(SIGKILL); }

    pid_t pid() {
        read_until("\n", 10s);
        return std::atoi(text().c_str());
    }
    // Sends `sig` (none for 0), then waits for the process and the last of its output.
    void end(int sig) {
        if (m_out == nullptr) return;
        if (sig != 0 && pid() > 0) kill(pid(), sig);
        m_reader.join();
        pclose(m_out);
        m_out = nullptr;
    }
    bool read_until(const std::string& needle, std::chrono::milliseconds timeout) {
        return vek_test::wait_until([&] { return text().find(needle) != std::string::npos; },
                                    timeout);
    }
    std::string text() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_text;
    }

private:
    FILE* m_out;
    std::mutex m_mutex;
    std::string m_text;
    std::thread m_reader;
};

const std::string kReplier = std::string(EXAMPLE_DIR) + "/replier";
const std::string kRequestor = std::string(EXAMPLE_DIR) + "/requestor";

// Numbers of the requests that a replier's output shows it received.
std::vector<int> received(const std::string& output) {
    std::vector<int> seqs;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("request: ", 0) == 0 && std::isdigit(static_cast<unsigned char>(line[9]))) {
            seqs.push_back(std::atoi(line.c_str() + 9));
        }
    }
    return seqs;
}

TEST(QueueGroupProcesses, RepliersOnThreeNodesShareRequestsAndOutliveAKilledMember) {
    Watchdog dog("queue group across processes", std::chrono::seconds(300));
    vek_test::LogSandbox box;  // the children log into the same sandbox
    vek_test::NatsCluster cluster;
    ASSERT_TRUE(cluster.start());
    constexpr int NODES = vek_test::NatsCluster::NODES;
    std::vector<std::unique_ptr<Child>> members;
    std::array<pid_t, NODES> pids{};
    for (int i = 0; i < NODES; ++i) {
        members.push_back(
            std::make_unique<Child>(kReplier + " " + cluster.node(i).url() + " qg.echo 0 echoes"));
        pids[i] = members[i]->pid();
        ASSERT_TRUE(members[i]->read_until("ready", 20s)) << members[i]->text();
    }
    // Which member an answer names; -1 for an answer that is not the echo of `text`.
    const auto member_of = [&pids](const std::string& answer, const std::string& text) {
        const std::string head = "echo: " + text + " (replier ";
        for (int i = 0; i < NODES; ++i) {
            if (answer == head + std::to_string(pids[i]) + ")") return i;
        }
        return -1;
    };

    // The fourth connection. Routes and the group's interest spread in the background: ask
    // until every member has answered once.
    NATSSvcParam p;
    p.request_timeout = 5000;
    CNATSRequestor req;
    ASSERT_EQ(STATUS_OK, req.connect(cluster.node(0).url().c_str(), p));
    std::set<int> heard;
    for (int k = 0; k < 500 && heard.size() < NODES; ++k) {
        NATSSvcMsg answer;
        if (req.request_string("qg.echo", "warm", answer) == STATUS_OK)
            heard.insert(member_of(answer.data, "warm"));
    }
    ASSERT_EQ((std::set<int>{0, 1, 2}), heard);

    // The example requestor as a program of its own reaches the group as well.
    Child asker(kRequestor + " " + cluster.node(1).url() + " qg.echo hello 10000");
    asker.end(0);
    std::string asked = asker.text();
    asked = asked.substr(asked.find('\n') + 1);  // after the pid line
    EXPECT_GE(member_of(asked.substr(0, asked.find('\n')), "hello"), 0) << asked;

    // Several requests in flight at once, from threads sharing the one connection.
    const int before_kill = static_cast<int>(count_from_env("VEK_QG_REQUESTS", 3000, 300));
    const int room = 4 * before_kill;
    constexpr int THREADS = 4;
    std::vector<int> answered_by(room, -2);  // -1: a wrong answer, -2: none
    std::atomic<int> next{0};
    std::atomic<int> limit{before_kill};
    const auto ask = [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t) {
            threads.emplace_back([&] {
                for (int seq = next++; seq < limit; seq = next++) {
                    NATSSvcMsg answer;
                    const std::string text = std::to_string(seq);
                    if (req.request_string("qg.echo", text.c_str(), answer) == STATUS_OK) {
                        answered_by[seq] = member_of(answer.data, text);
                    }
                }
            });
        }
        return threads;
    };
    for (std::thread& t : ask()) t.join();
    std::array<int, NODES> share{};
    for (int seq = 0; seq < before_kill; ++seq) {
        ASSERT_GE(answered_by[seq], 0) << "request " << seq;
        ++share[answered_by[seq]];
    }
    for (int i = 0; i < NODES; ++i) EXPECT_GE(share[i], before_kill / 5) << "member " << i;

    // Member 2 dies in the middle of the second run.
    next = before_kill;
    limit = room;
    std::vector<std::thread> threads = ask();
    const bool midway =
        vek_test::wait_until([&] { return next >= before_kill + before_kill / 6; }, 60s);
    members[2]->end(SIGKILL);
    const int first_after_kill = next;
    // The nodes drop the member once they see its connection closed, which takes them a few
    // milliseconds at most; from then on nothing may be lost.
    std::this_thread::sleep_for(250ms);
    const int first_after_drop = next;
    limit = std::min(room, first_after_drop + before_kill / 6);
    for (std::thread& t : threads) t.join();
    const int total = limit;
    ASSERT_TRUE(midway);

    std::vector<int> timed_out;
    int lost_after_kill = 0;
    for (int seq = before_kill; seq < total; ++seq) {
        if (answered_by[seq] == -2) timed_out.push_back(seq);
        lost_after_kill += seq >= first_after_kill && answered_by[seq] == -2 ? 1 : 0;
        EXPECT_NE(answered_by[seq], -1) << "request " << seq;
        if (seq >= first_after_drop) {
            EXPECT_TRUE(answered_by[seq] == 0 || answered_by[seq] == 1) << "request " << seq;
        }
    }
    // Only what was on its way to the killed member is lost: one request per thread at most.
    EXPECT_LE(timed_out.size(), static_cast<size_t>(THREADS));

    // Each request reached one member only: the one whose answer came back, or, for the lost
    // ones, the killed member.
    for (auto& m : members) m->end(SIGKILL);
    std::vector<int> reached(total, 0);
    std::vector<int> reached_by(total, -1);
    for (int i = 0; i < NODES; ++i) {
        for (const int seq : received(members[i]->text())) {
            if (seq < 0 || seq >= total) continue;
            ++reached[seq];
            reached_by[seq] = i;
        }
    }
    for (int seq = 0; seq < total; ++seq) {
        const bool lost = answered_by[seq] == -2;
        if (lost && reached[seq] == 0) continue;  // it never got to member 2 before it died
        EXPECT_EQ(1, reached[seq]) << "request " << seq;
        EXPECT_EQ(lost ? 2 : answered_by[seq], reached_by[seq]) << "request " << seq;
    }
    std::printf(
        "queue group across processes: %d requests shared %d/%d/%d; member 2 killed at "
        "request %d; %zu requests lost with it, %d of them sent after the kill; all %d sent "
        "from 250 ms after the kill answered by the others\n",
        before_kill, share[0], share[1], share[2], first_after_kill, timed_out.size(),
        lost_after_kill, total - first_after_drop);
}

}  // namespace
}  // namespace pubsub_test

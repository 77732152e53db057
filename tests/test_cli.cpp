// The vek-nats program, run as a separate process against a private server: what travels,
// how it ends on a signal, and how it answers a wrong command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/log_sandbox.h"
#include "support/nats_server.h"
#include "vek_nats/status.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* const USAGE_HINT = "usage: vek-nats [options]";

// One run of the program with its three standard streams on pipes. Every wait is bounded; a
// run that outlives its wait is killed by PID.
class Cli {
public:
    explicit Cli(const std::vector<std::string>& args) {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2 failed";
            return;
        }
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_adddup2(&files, in[0], 0);
        posix_spawn_file_actions_adddup2(&files, out[1], 1);
        posix_spawn_file_actions_adddup2(&files, err[1], 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);  // ignored here, so writes to a gone child do not kill us
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
        std::vector<char*> argv{const_cast<char*>(VEK_NATS_CLI)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        signal(SIGPIPE, SIG_IGN);
        if (posix_spawn(&m_pid, VEK_NATS_CLI, &files, &attr, argv.data(), environ) != 0) {
            m_pid = -1;
            ADD_FAILURE() << "cannot start " << VEK_NATS_CLI;
        }
        posix_spawn_file_actions_destroy(&files);
        posix_spawnattr_destroy(&attr);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        m_in = in[1];
        m_out = out[0];
        m_err = err[0];
        fcntl(m_out, F_SETFL, O_NONBLOCK);
        fcntl(m_err, F_SETFL, O_NONBLOCK);
    }

    ~Cli() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_in, m_out, m_err}) {
            if (fd >= 0) close(fd);
        }
    }

    void input(const std::string& text) {
        ASSERT_EQ(write(m_in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    void signal_it(int sig) { kill(m_pid, sig); }

    // sub and reply announce on standard error when the server knows their subscription.
    bool ready(std::chrono::milliseconds timeout = 10s) { return wait_err("ready", timeout); }
    bool wait_err(const std::string& needle, std::chrono::milliseconds timeout = 10s) {
        return vek_test::wait_until([&] { return pump(), m_err_text.find(needle) != npos; },
                                    timeout);
    }
    bool wait_out(const std::string& needle, std::chrono::milliseconds timeout = 10s) {
        return vek_test::wait_until([&] { return pump(), m_out_text.find(needle) != npos; },
                                    timeout);
    }

    // Closes standard input and waits for the exit: its status, or -1 when killed after the
    // time-out or ended by a signal.
    int finish(std::chrono::milliseconds timeout = 10s) {
        if (m_in >= 0) close(m_in);
        m_in = -1;
        int status = 0;
        const bool gone = vek_test::wait_until(
            [&] { return pump(), waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout);
        if (!gone) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
        vek_test::wait_until([&] { return pump(); }, 2s);
        if (!gone || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }

    const std::string& out() const { return m_out_text; }
    const std::string& err() const { return m_err_text; }
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        size_t start = 0;
        for (size_t end; (end = m_out_text.find('\n', start)) != npos; start = end + 1) {
            result.push_back(m_out_text.substr(start, end - start));
        }
        return result;
    }

private:
    static constexpr size_t npos = std::string::npos;

    // Reads what is there; true once both streams reached their end.
    bool pump() {
        bool closed = true;
        for (auto [fd, text] : {std::pair{m_out, &m_out_text}, std::pair{m_err, &m_err_text}}) {
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof(buf))) > 0) text->append(buf, static_cast<size_t>(n));
            if (n != 0) closed = false;
        }
        return closed;
    }

    pid_t m_pid = -1;
    int m_in = -1, m_out = -1, m_err = -1;
    std::string m_out_text, m_err_text;
};

// Each test gets a private server and a private debug log (the program writes to it).
class CliTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    std::vector<std::string> at_server(std::vector<std::string> args) {
        args.insert(args.begin(), {"--server", server.url()});
        return args;
    }
    int run(std::vector<std::string> args, const std::string& input = "") {
        Cli cli(at_server(std::move(args)));
        if (!input.empty()) cli.input(input);
        const int code = cli.finish();
        EXPECT_EQ(code, 0) << cli.err();
        return code;
    }

    vek_test::LogSandbox sandbox;
    vek_test::NatsServer server;
};

using CliPubSub = CliTest;
using CliReqRep = CliTest;
using CliSignals = CliTest;
using CliBcrypt = CliTest;
using CliUsage = CliTest;

TEST_F(CliPubSub, MessagesOfSeveralSubjectsArriveWithSubjectTextAndLength) {
    Cli sub(at_server({"--count", "4", "sub", "news,weather"}));
    ASSERT_TRUE(sub.ready()) << sub.err();
    run({"--count", "2", "pub", "news", "hello", "world"});
    run({"PUB", "weather"}, "sunny\r\nrain\n");  // each line a message, CR LF taken as the end
    ASSERT_EQ(sub.finish(), 0) << sub.err();
    EXPECT_EQ(sub.lines(), (std::vector<std::string>{
                               "news: hello world (11 bytes)", "news: hello world (11 bytes)",
                               "weather: sunny (5 bytes)", "weather: rain (4 bytes)"}));
}

TEST_F(CliPubSub, ControlCharactersStayOnTheMessageLine) {
    Cli sub(at_server({"--count", "1", "sub", "s"}));
    ASSERT_TRUE(sub.ready()) << sub.err();
    run({"pub", "s", "two\nlines\\"});
    ASSERT_EQ(sub.finish(), 0) << sub.err();
    EXPECT_EQ(sub.out(), "s: two\\nlines\\\\ (10 bytes)\n");
}

TEST_F(CliPubSub, SyncSubscriberReadsUntilCount) {
    Cli sub(at_server({"--sync", "--count", "2", "sub", "s"}));
    ASSERT_TRUE(sub.ready()) << sub.err();
    run({"--count", "3", "pub", "s", "x"});
    ASSERT_EQ(sub.finish(), 0) << sub.err();
    EXPECT_EQ(sub.lines(), (std::vector<std::string>{"s: x (1 bytes)", "s: x (1 bytes)"}));
}

TEST_F(CliPubSub, SyncReceiveTimeOutFailsWithItsStatus) {
    Cli sub(at_server({"--sync", "--timeout", "300", "sub", "quiet"}));
    ASSERT_TRUE(sub.ready()) << sub.err();
    EXPECT_EQ(sub.finish(5s), 1);
    EXPECT_NE(sub.err().find("0x910E0401"), std::string::npos) << sub.err();
    EXPECT_NE(sub.err().find(vek_nats::status_text(vek_nats::STATUS_NEXT_MSG)), std::string::npos);
    EXPECT_EQ(sub.out(), "");
}

TEST_F(CliReqRep, ReplierEchoesWithoutTextAndAnswersWithIt) {
    Cli echo(at_server({"--count", "1", "reply", "echo"}));
    Cli fixed(at_server({"--count", "2", "Reply", "fixed", "pong", "!"}));
    ASSERT_TRUE(echo.ready()) << echo.err();
    ASSERT_TRUE(fixed.ready()) << fixed.err();

    for (const auto& [subject, text, answer] : {std::tuple{"echo", "ping 1", "ping 1"},
                                                {"fixed", "a", "pong !"},
                                                {"fixed", "b", "pong !"}}) {
        Cli req(at_server({"request", subject, text}));
        EXPECT_EQ(req.finish(), 0) << req.err();
        EXPECT_EQ(req.out(), std::string(answer) + "\n");
    }
    ASSERT_EQ(echo.finish(), 0) << echo.err();
    ASSERT_EQ(fixed.finish(), 0) << fixed.err();
    EXPECT_EQ(echo.out(), "echo: ping 1 (6 bytes) -> ping 1\n");
    EXPECT_EQ(fixed.lines(), (std::vector<std::string>{"fixed: a (1 bytes) -> pong !",
                                                       "fixed: b (1 bytes) -> pong !"}));
}

TEST_F(CliReqRep, SyncReplierAnswers) {
    Cli rep(at_server({"--sync", "--count", "1", "reply", "q", "ok"}));
    ASSERT_TRUE(rep.ready()) << rep.err();
    Cli req(at_server({"request", "q", "hi"}));
    EXPECT_EQ(req.finish(), 0) << req.err();
    EXPECT_EQ(req.out(), "ok\n");
    EXPECT_EQ(rep.finish(), 0) << rep.err();
}

TEST_F(CliReqRep, UnansweredRequestExitsOneAfterItsTimeOut) {
    Cli silent(at_server({"sub", "q"}));  // takes the request, never answers
    ASSERT_TRUE(silent.ready()) << silent.err();
    const auto start = Clock::now();
    Cli req(at_server({"--timeout", "400", "request", "q", "hi"}));
    EXPECT_EQ(req.finish(), 1);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, 5s);
    EXPECT_NE(req.err().find("0x910E020A"), std::string::npos) << req.err();
    EXPECT_NE(req.err().find("no answer within 400 ms"), std::string::npos) << req.err();
    EXPECT_EQ(req.out(), "");
}

TEST_F(CliReqRep, RequestNobodyServesFailsAtOnce) {
    const auto start = Clock::now();
    Cli req(at_server({"--timeout", "5000", "request", "nobody", "hi"}));
    EXPECT_EQ(req.finish(), 1);
    EXPECT_LT(Clock::now() - start, 4s);
    EXPECT_NE(req.err().find("0x910E020A"), std::string::npos) << req.err();
}

TEST_F(CliBcrypt, HashIsAcceptedForItsPasswordOnly) {
    Cli hash({"bcrypt", "s3cret pw"});
    ASSERT_EQ(hash.finish(), 0) << hash.err();
    ASSERT_EQ(hash.lines().size(), 1u);
    const std::string stored = hash.lines()[0];
    EXPECT_EQ(stored.rfind("$2", 0), 0u) << stored;

    Cli from_stdin({"bcrypt", "-"});
    from_stdin.input("s3cret pw\n");
    ASSERT_EQ(from_stdin.finish(), 0) << from_stdin.err();
    const std::string stored2 = from_stdin.lines().at(0);
    EXPECT_NE(stored2, stored);  // a fresh salt each time

    for (const auto& [password, hash_text, code, word] :
         {std::tuple{"s3cret pw", stored, 0, "valid"},
          {"s3cret pw", stored2, 0, "valid"},
          {"s3cret", stored, 1, "invalid"},
          {"s3cret pw", std::string("not a hash"), 1, "invalid"}}) {
        Cli check({"bcrypt_valid", password, hash_text});
        EXPECT_EQ(check.finish(), code) << password << " " << hash_text;
        EXPECT_EQ(check.out(), std::string(word) + "\n");
    }
    Cli check_stdin({"bcrypt_valid", "-", stored});
    check_stdin.input("s3cret pw\n");
    EXPECT_EQ(check_stdin.finish(), 0);
}

TEST_F(CliSignals, TermEndsABlockedSubWithinASecond) {
    Cli sub(at_server({"sub", "s"}));
    ASSERT_TRUE(sub.ready()) << sub.err();
    run({"pub", "s", "one"});
    ASSERT_TRUE(sub.wait_out("\n"));
    const auto start = Clock::now();
    sub.signal_it(SIGTERM);
    EXPECT_EQ(sub.finish(), 0) << sub.err();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(sub.out(), "s: one (3 bytes)\n");
}

TEST_F(CliSignals, TermEndsASyncSubWaitingInTheClient) {
    Cli sub(at_server({"--sync", "--timeout", "60000", "sub", "s"}));
    ASSERT_TRUE(sub.ready()) << sub.err();
    const auto start = Clock::now();
    sub.signal_it(SIGTERM);
    EXPECT_EQ(sub.finish(), 0) << sub.err();
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(CliSignals, InterruptEndsAReplierCleanly) {
    Cli rep(at_server({"reply", "q"}));
    ASSERT_TRUE(rep.ready()) << rep.err();
    run({"request", "q", "hi"});
    const auto start = Clock::now();
    rep.signal_it(SIGINT);
    EXPECT_EQ(rep.finish(), 0) << rep.err();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(rep.out(), "q: hi (2 bytes) -> hi\n");
}

TEST_F(CliUsage, BadInvocationsExplainThemselvesAndExitNonZero) {
    const std::string unreachable = "nats://127.0.0.1:" + std::to_string(vek_test::free_port());
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{}, 2, "missing action"},
        {{""}, 2, "empty action"},
        {{"publish", "s", "x"}, 2, "unknown action 'publish'"},
        {{"none"}, 2, "unknown action 'none'"},
        {{"pub"}, 2, "missing subject"},
        {{"sub", ",,"}, 2, "missing subject"},
        {{"request", "s"}, 2, "missing request text"},
        {{"--count", "many", "sub", "s"}, 2, "'many' is not a number"},
        {{"--count", "-3", "sub", "s"}, 2, "'-3' is not a positive whole number"},
        {{"--count=2.5", "pub", "s", "x"}, 2, "'2.5' is not a positive whole number"},
        {{"--timeout", "0", "request", "s", "x"}, 2, "'0' is not a positive whole number"},
        {{"sub", "a,b,c,d,e,f"}, 2, "too many subjects: 6 given, at most 5"},
        {{"--sync", "sub", "a,b"}, 2, "--sync reads a single subject"},
        {{"--frobnicate", "pub", "s"}, 2, "unknown option '--frobnicate'"},
        {{"bcrypt_valid", "pw"}, 2, "missing hash"},
        {{"--server", unreachable, "pub", "s", "x"}, 1, "0x910E0201"},
    };
    for (const Case& c : cases) {
        Cli cli(c.args);
        EXPECT_EQ(cli.finish(5s), c.code) << c.message;
        EXPECT_NE(cli.err().find(c.message), std::string::npos) << cli.err();
        EXPECT_NE(cli.err().find(USAGE_HINT), std::string::npos) << cli.err();
        EXPECT_EQ(cli.out(), "") << c.message;
    }
}

TEST_F(CliUsage, HelpNamesEveryAction) {
    Cli help({"--help"});
    EXPECT_EQ(help.finish(), 0);
    for (const char* action : {"pub", "sub", "request", "reply", "bcrypt", "bcrypt_valid"}) {
        EXPECT_NE(help.out().find(std::string("  ") + action + " "), std::string::npos) << action;
    }
}

}  // namespace

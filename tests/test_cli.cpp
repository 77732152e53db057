// The vek-nats program as a separate process against private servers: what travels, how runs
// end (signals, lost streams), what reaches the server, usage errors; never a secret shown.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <tuple>

#include "support/harness.h"

using namespace std::chrono_literals;
using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using vek_test::Process;

class CliTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    // A run against the private server; sub and reply are ready when it returns.
    std::unique_ptr<Process> cli(Args args, Process::Streams streams = Process::PIPES) {
        const std::string action = args[args.size() - 2];  // sub and reply take one argument
        args.insert(args.begin(), {VEK_NATS_CLI, "--server", server.url()});
        auto p = std::make_unique<Process>(args, Args{}, streams);
        const auto ready = [&] { return p->err().find("ready") != std::string::npos; };
        EXPECT_TRUE((action != "sub" && action != "reply") || vek_test::wait_until(ready))
            << p->err();
        return p;
    }
    void run(const Args& args, const std::string& input = "") {
        auto p = cli(args);
        p->input(input);
        EXPECT_EQ(p->finish(), 0) << p->err();
    }

    vek_test::LogSandbox sandbox;
    vek_test::NatsServer server;
};

TEST_F(CliTest, MessagesAndAnswersArriveWithSubjectTextAndLength) {
    auto sub = cli({"--count", "5", "sub", "news,weather"});
    auto echo = cli({"--count", "1", "reply", "echo"});
    run({"--count", "2", "pub", "news", "hello", "world"});
    run({"PUB", "weather"}, "sunny\r\nrain");  // each line a message, CR LF taken as the end
    run({"pub", "news", "two\r\nlines\\\x01"});
    auto req = cli({"request", "echo", "ping", "1"});
    EXPECT_EQ(req->finish(), 0) << req->err();
    EXPECT_EQ(req->out(), "ping 1\n");
    EXPECT_EQ(sub->finish(), 0) << sub->err();
    EXPECT_EQ(echo->finish(), 0) << echo->err();
    Args got;  // each subscription delivers on a thread of its own: order per subject
    vek_nats::split_string_to_tokens(sub->out(), "", got);
    std::stable_sort(got.begin(), got.end(), [](auto& a, auto& b) { return a[0] < b[0]; });
    EXPECT_EQ(got, (Args{"news: hello world (11 bytes)", "news: hello world (11 bytes)",
                         "news: two\\r\\nlines\\\\\\x01 (12 bytes)", "weather: sunny (5 bytes)",
                         "weather: rain (4 bytes)"}));
    EXPECT_EQ(echo->out(), "echo: ping 1 (6 bytes) -> ping 1\n");
}

// How a run that waits ends: on its time-out, on SIGINT or SIGTERM (never killed by them), on
// a lost standard output; a closed standard input reads as empty.
TEST_F(CliTest, WaitingRunsEndWithTheirStatus) {
    auto watcher = cli({"sub", "s"});  // takes requests without answering; sees pub's lines
    const Process::Streams pipes = Process::PIPES, full = Process::FULL_STDOUT;
    using Case =
        std::tuple<Args, Process::Streams, int, int, std::string, std::chrono::milliseconds>;
    for (const auto& [args, streams, sig, code, message, least] : std::vector<Case>{
             {{"--timeout", "400ms", "request", "s", "hi"}, pipes, 0, 1, "within 400 ms", 400ms},
             {{"--sync", "--timeout", "300", "sub", "quiet"}, pipes, 0, 1, "0x910E0401", 300ms},
             {{"--timeout", "1m", "request", "nobody", "hi"}, pipes, 0, 1, "0x910E020A", 0ms},
             {{"sub", "s"}, pipes, SIGTERM, 0, "", 0ms},
             {{"reply", "r"}, pipes, SIGINT, 0, "", 0ms},
             {{"--timeout", "1m", "request", "s", "hi"}, pipes, SIGINT, 1, "interrupted", 0ms},
             {{"pub", "s"}, pipes, SIGTERM, 0, "", 0ms},
             {{"pub", "x"}, Process::NO_STDIN, 0, 0, "", 0ms},
             {{"--count", "2", "sub", "s"}, full, 0, 1, "output: No space left on device", 0ms},
             {{"sub", "s"}, pipes, 0, 1, "Broken pipe", 0ms}}) {  // its reader gone, as `| head -1`
        const size_t seen = watcher->out().size();
        auto start = Clock::now();
        auto p = cli(args, streams);
        if (streams != Process::NO_STDIN) p->input("line\n");
        if (p->err().find("ready") != std::string::npos) {
            run({"pub", "s", "one"});
        } else if (sig != 0) {  // the line or request is out
            ASSERT_TRUE(vek_test::wait_until([&] { return watcher->out().size() > seen; }));
        }
        if (message == "Broken pipe") {
            ASSERT_TRUE(p->wait_output("\n"));
            p->close_output();
            run({"pub", "s", "two"});
        }
        if (sig != 0) start = Clock::now(), p->signal(sig);
        EXPECT_EQ(p->finish(), code) << message << p->err();
        EXPECT_GE(Clock::now() - start, least) << message;
        EXPECT_LT(Clock::now() - start, 5s) << message << p->err();  // no 1 m time-out ran
        EXPECT_NE(p->err().find(message), std::string::npos) << p->err();
    }
}

// Each command line ends with its status and at most one line of reason (a usage error adds the
// hint); settings and environment reach the server; no password or token is ever shown.
TEST_F(CliTest, CommandLinesEndWithTheirStatusAndShowNoSecret) {
    vek_test::NatsServer users(0, {"--user", "alice", "--pass", "s3cr3t"});
    vek_test::NatsServer tokens(0, {"--auth", "t0k3n"});
    ASSERT_TRUE(users.start() && tokens.start());
    const std::string gone = "nats://127.0.0.1:" + std::to_string(vek_test::free_port());
    const std::string at_users = "@127.0.0.1:" + std::to_string(users.port());
    const std::string abc = "$2a$06$If6bvum7DFjUnE9p2uDeDu0YHzrHM6tf.iqN8.yx.jNN1ILEf7h0i";
    const auto program = [](Args args) { return args.insert(args.begin(), VEK_NATS_CLI), args; };
    const auto pub = [](Args args) { return args.insert(args.end(), {"pub", "s", "x"}), args; };
    for (const auto& [args, code, message, env] :
         std::vector<std::tuple<Args, int, std::string, Args>>{
             {{}, 2, "missing action", {}},
             {{"publish", "s", "x"}, 2, "unknown action 'publish'", {}},
             {{"pub"}, 2, "missing subject", {}},
             {{"bcrypt"}, 2, "no password on standard input", {}},
             {{"bcrypt", "s3cret pw"}, 0, "$2b$12$", {}},
             {{"bcrypt_valid", "abc", abc}, 0, "valid", {}},
             {{"bcrypt_valid", "abd", abc}, 1, "invalid", {}},
             {{"--count", "2147483648", "sub", "s"}, 2, "too large", {}},
             {{"--timeout", "1x", "request", "s", "x"}, 2, "'1x' is not a duration", {}},
             {{"--timeout", "35792m", "request", "s", "x"}, 2, "'35792m' is too long", {}},
             {{"sub", "a,b,c,d,e,f"}, 2, "too many subjects: 6 given, at most 5", {}},
             {{"--sync", "sub", "a,b"}, 2, "--sync reads a single subject", {}},
             {{"--frobnicate=s3cr3t", "pub", "s"}, 2, "unknown option '--frobnicate'", {}},
             {{"--sync=yes", "sub", "s"}, 2, "option --sync takes no value", {}},
             {{"pub", "s", "-s"}, 2, "option --server needs a value", {}},
             {{"--user", "alice", "pub", "s"}, 2, "--user needs a password", {}},
             {{"--password", "s3cr3t", "pub", "s"}, 2, "--password needs --user", {}},
             {{"--token", "t", "--creds", "/dev/null", "pub", "s"}, 2, "--token and --creds", {}},
             {{"--tlsca", "/nonexistent/ca.pem", "pub", "s"}, 2, "--tlsca: cannot read", {}},
             {{"sub", "-h"}, 0, "from $NATS_PASSWORD", {}},
             {{"--version"}, 0, "(NATS C client 3.", {}},
             // The longest time-outs are accepted: the run goes on and fails to connect.
             {{"--timeout", "35791m", "-s", gone, "request", "s", "x"}, 1, "0x910E0201", {}},
             {pub({"-s", server.url()}), 0, "", {"NATS_URL=" + gone}},
             {pub({}), 1, "connecting to " + gone + ": 0x910E0201", {"NATS_URL=" + gone}},
             {pub({"-s", "nats://alice:s3cr3t" + at_users}), 0, "", {}},
             {pub({"-s", "nats://alice:wr0ng" + at_users}), 1, "to nats://alice:***@", {}},
             {pub({"-s", users.url(), "--user", "alice"}), 0, "", {"NATS_PASSWORD=s3cr3t"}},
             {pub({"-s", tokens.url()}), 0, "", {"NATS_TOKEN=t0k3n"}},
             {pub({"-s", tokens.url(), "--token", "wr0ng"}), 1, "0x910E0201", {}},
             // Refused by the server: the setting reached the library.
             {pub({"-s", server.url(), "--tls"}), 1, "connecting to", {}}}) {
        Process p(program(args), env);
        EXPECT_EQ(p.finish(), code) << ::testing::PrintToString(args) << p.err();
        const std::string err = p.err(), shown = p.out() + err;
        EXPECT_NE(shown.find(message), std::string::npos) << shown;
        EXPECT_EQ(err.find("usage: vek-nats [options]") != std::string::npos, code == 2) << err;
        EXPECT_LE(std::count(err.begin(), err.end(), '\n'), 1 + (code == 2)) << err;
        for (const char* secret : {"s3cr3t", "t0k3n", "wr0ng"})
            EXPECT_EQ(shown.find(secret), std::string::npos) << secret << " in " << shown;
    }
}

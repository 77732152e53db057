// The vek-nats program as a separate process against private servers: what travels, how runs
// end (signals, lost streams), what reaches the server, usage errors; never a secret shown.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>

#include "support/harness.h"

using namespace std::chrono_literals;
using vek_test::Strings;
using Clock = std::chrono::steady_clock;
using vek_test::Process;

class CliTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }

    // A run against the private server; sub and reply are ready when it returns.
    std::unique_ptr<Process> cli(Strings args, Process::Streams streams = Process::PIPES) {
        const std::string action = args[args.size() - 2];  // sub and reply take one argument
        args.insert(args.begin(), {VEK_NATS_CLI, "--server", server.url()});
        auto p = std::make_unique<Process>(args, Strings{}, streams);
        const auto ready = [&] { return p->err().find("ready") != std::string::npos; };
        EXPECT_TRUE((action != "sub" && action != "reply") || vek_test::wait_until(ready))
            << p->err();
        return p;
    }
    void run(const Strings& args, const std::string& input = "") {
        auto p = cli(args);
        p->input(input);
        EXPECT_EQ(p->finish(), 0) << p->err();
    }

    vek_test::LogSandbox sandbox;
    vek_test::NatsServer server;
};

// Messages and answers arrive with subject, text and length, their headers printed below them
// (sorted here ahead of their message); --raw writes the payload's bytes and nothing else.
TEST_F(CliTest, MessagesAndAnswersArriveWithSubjectTextAndLength) {
    auto sub = cli({"--count", "6", "sub", "news,weather"});
    auto raw = cli({"--count", "1", "--raw", "sub", "weather"});
    auto echo = cli({"--count", "1", "--header", "R:1", "reply", "echo"});
    run({"--count", "2", "pub", "news", "hello", "world"});
    run({"--header", "A:1", "-H", "A:2", "pub", "weather"}, std::string("x\0y", 3));
    run({"PUB", "weather"}, "sunny\r\nrain");  // each line a message, CR LF taken as the end
    run({"pub", "news", "--", "-two\r\nlines\\\x01"});
    auto req = cli({"-H", "Q:1", "request", "echo", "ping\x1b", "1"});
    EXPECT_EQ(req->finish(), 0) << req->err();
    EXPECT_EQ(req->out(), "ping\\x1b 1\n  R: 1\n");
    EXPECT_EQ(sub->finish(), 0) << sub->err();
    EXPECT_EQ(echo->finish(), 0) << echo->err();
    EXPECT_EQ(raw->finish(), 0) << raw->err();
    EXPECT_EQ(raw->out(), std::string("x\0y", 3));  // the bytes, nothing added
    Strings got;  // each subscription delivers on a thread of its own: order per subject
    vek_nats::split_string_to_tokens(sub->out(), "", got);
    std::stable_sort(got.begin(), got.end(), [](auto& a, auto& b) { return a[0] < b[0]; });
    EXPECT_EQ(got, (Strings{"  A: 1", "  A: 2", "news: hello world (11 bytes)",
                            "news: hello world (11 bytes)",
                            "news: -two\\r\\nlines\\\\\\x01 (13 bytes)", "weather: x (3 bytes)",
                            "weather: sunny (5 bytes)", "weather: rain (4 bytes)"}));
    EXPECT_EQ(echo->out(), "echo: ping\\x1b 1 (7 bytes) -> ping\\x1b 1\n");
}

// A run that waits, and how it ends.
struct WaitingRun {
    Strings args;
    int signal;                             // sent once the run waits; 0: none
    int code;                               // its exit status
    std::string message;                    // on its standard error
    std::chrono::milliseconds least = 0ms;  // its own time-out ends it, not before
    bool server_stops = false;              // the server stops answering before the signal
    Process::Streams streams = Process::PIPES;
};

// A run that waits ends on its time-out, on SIGINT or SIGTERM within a second (cleanly where
// it waits for messages or input; at once, 128 + the signal, where it is stuck), on a lost
// standard output; a closed standard input reads as empty.
TEST_F(CliTest, WaitingRunsEndWithTheirStatus) {
    // Takes requests without answering and sees pub's lines on "s"; nothing else is sent there,
    // so that what it sees is the current run's.
    auto watcher = cli({"sub", "s"});
    for (const WaitingRun& row : std::vector<WaitingRun>{
             {{"--timeout", "400ms", "request", "s", "hi"}, 0, 1, "- no answer within", 400ms},
             {{"--sync", "--timeout", "300", "sub", "quiet"}, 0, 1, "0x910E0401", 300ms},
             {{"--timeout", "1m", "request", "nobody", "hi"}, 0, 1, "- no responders"},
             {{"--count", "2147483647", "sub", "t"}, SIGTERM, 0, ""},
             {{"reply", "r"}, SIGINT, 0, ""},
             {{"--timeout", "1m", "request", "s", "hi"}, SIGINT, 1, "interrupted"},
             {{"pub", "s"}, SIGTERM, 0, ""},
             {{"pub", "x"}, 0, 0, "", 0ms, false, Process::NO_STDIN},
             {{"request", "s", "hi"}, 0, 1, "output is closed", 0ms, false, Process::NO_STDOUT},
             {{"pub", "t"}, 0, 0, "", 0ms, false, Process::NO_STDOUT},  // it prints nothing
             {{"sub", "t"}, 0, 1, "Broken pipe"},  // its reader gone, as `| head -1`
             // Stuck: its flush waits for a server that is stopped.
             {{"--timeout", "1m", "pub", "s"}, SIGTERM, 128 + SIGTERM, "", 0ms, true}}) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        const size_t seen = watcher->out().size();
        auto start = Clock::now();
        auto p = cli(row.args, row.streams);
        if (row.streams != Process::NO_STDIN) p->input("line\n");
        if (row.message == "Broken pipe") p->close_output();
        if (p->err().find("ready") != std::string::npos) {
            run({"pub", row.args.back(), "one"});
        } else if (row.signal != 0) {  // the line or request is out
            ASSERT_TRUE(vek_test::wait_until([&] { return watcher->out().size() > seen; }));
        }
        if (row.server_stops) kill(server.pid(), SIGSTOP);
        if (row.server_stops) waitpid(server.pid(), nullptr, WUNTRACED);  // all its threads
        if (row.signal != 0) start = Clock::now();
        p->signal(row.signal);  // 0: none
        EXPECT_EQ(p->finish(), row.code) << row.message << p->err();
        kill(server.pid(), SIGCONT);
        EXPECT_GE(Clock::now() - start, row.least) << row.message;
        EXPECT_LT(Clock::now() - start, row.signal != 0 ? 1s : 5s) << row.message << p->err();
        EXPECT_NE(p->err().find(row.message), std::string::npos) << p->err();
    }
}

// A command line and how it ends.
struct CommandLine {
    Strings args;
    int code;             // its exit status
    std::string message;  // on its standard output or error
    Strings env = {};
};

// Each command line ends by itself with its status and at most one line of reason (a usage
// error adds the hint); settings and environment reach the server. No password or token, not
// a fragment of one, and no raw control byte is ever shown.
TEST_F(CliTest, CommandLinesEndWithTheirStatusAndShowNoSecret) {
    vek_test::NatsServer users(0, {"--user", "alice", "--pass", "s3cr3t"});
    vek_test::NatsServer tokens(0, {"--auth", "t0k3n"});
    ASSERT_TRUE(users.start());
    ASSERT_TRUE(tokens.start());
    const std::string gone = "nats://127.0.0.1:" + std::to_string(vek_test::free_port());
    const std::string at_users = "@127.0.0.1:" + std::to_string(users.port());
    const std::string abc = "$2a$06$If6bvum7DFjUnE9p2uDeDu0YHzrHM6tf.iqN8.yx.jNN1ILEf7h0i";
    std::vector<CommandLine> rows = {
        {{}, 2, "missing action"},
        {{"publish", "s", "x"}, 2, "unknown action 'publish'"},
        {{"pub"}, 2, "missing subject"},
        {{"bcrypt"}, 2, "no password on standard input"},
        {{"bcrypt", "s3cret pw"}, 0, "$2b$12$"},
        {{"bcrypt_valid", "abc", abc}, 0, "valid"},
        {{"bcrypt_valid", "abd", abc}, 1, "invalid"},
        {{"--count", "2147483648", "sub", "s"}, 2, "too large"},
        {{"--count", "5x", "pub", "s"}, 2, "'5x' is not a number"},
        {{"--count", "2", "request", "s", "x"}, 2, "--count does not apply to request"},
        {{"--timeout", "1x", "request", "s", "x"}, 2, "'1x' is not a duration"},
        {{"--timeout", "35792m", "request", "s", "x"}, 2, "'35792m' is too long"},
        {{"sub", "a,b,c,d,e,f"}, 2, "too many subjects: 6 given, at most 5"},
        {{"--sync", "sub", "a,b"}, 2, "--sync reads a single subject"},
        {{"--header", "A B:1", "pub", "s", "x"}, 2, "'A B:1' is not NAME:VALUE"},
        {{"--frobnicate=s3cr3t", "pub", "s"}, 2, "unknown option '--frobnicate'"},
        {{"--sync=yes", "sub", "s"}, 2, "option --sync takes no value"},
        {{"pub", "s", "-s"}, 2, "option --server needs a value"},
        {{"--user", "alice", "pub", "s"}, 2, "--user needs a password"},
        {{"--password", "s3cr3t", "pub", "s"}, 2, "--password needs --user"},
        {{"--token", "t", "--creds", VEK_NATS_CLI, "pub", "s"}, 2, "--token and --creds"},
        {{"sub", "-h"}, 0, "$NATS_PASSWORD"},
        {{"--version"}, 0, "(NATS C client 3."},
        {{"pub", "s", "x", "-s", gone + "\r\nvek-nats: forged"}, 1, "\\x0D\\x0Avek-nats: forged"},
        {{"-s", server.url(), "pub", "s\x1b[2J\n", "x"}, 1, "publishing on s\\x1B[2J\\x0A: 0x"},
        // The longest time-outs are accepted: the run goes on and fails to connect.
        {{"--timeout", "35791m", "-s", gone, "request", "s", "x"}, 1, "0x910E0201"},
        {{"pub", "s", "x"}, 1, "connecting to " + gone + ": 0x910E0201", {"NATS_URL=" + gone}},
        {{"pub", "s", "x", "-s", "nats://alice:s3cr3t" + at_users}, 0, ""},
        {{"pub", "s", "x", "-s", users.url(), "--user", "alice"}, 0, "", {"NATS_PASSWORD=s3cr3t"}},
        {{"pub", "s", "x", "-s", tokens.url()}, 0, "", {"NATS_URL=" + gone, "NATS_TOKEN=t0k3n"}},
        // Refused by the server: the setting reached the library.
        {{"pub", "s", "x", "-s", server.url(), "--tls"}, 1, "connecting to"}};
    // Passwords that hold URL syntax, in every form of URL: refused, and never shown in part.
    for (const char c : std::string("/,:#?%")) {
        for (const std::string& form :
             Strings{"nats://alice:", "alice:", "nats://", gone + ",nats://a:"})
            rows.push_back({{"pub", "s", "-s", form + "Qk7" + c + "Rm3" + at_users}, 1, "***"});
    }
    // Files that are no credentials, named by every file option: refused at once (the library's
    // check, which test_security runs over every kind of file).
    for (const char* file : {"/dev/zero", "/tmp"}) {
        for (const char* option : {"--nkey-seed", "--creds", "--tlsca", "--tlscert", "--tlskey"})
            rows.push_back({{option, file, "pub", "s"}, 2, std::string(option) + ": cannot read"});
    }
    for (const CommandLine& row : rows) {
        Strings argv = row.args;
        argv.insert(argv.begin(), VEK_NATS_CLI);
        Process p(argv, row.env);
        EXPECT_EQ(p.finish(), row.code) << ::testing::PrintToString(row.args) << p.err();
        const std::string err = p.err();
        const std::string shown = p.out() + err;
        EXPECT_NE(shown.find(row.message), std::string::npos) << shown;
        EXPECT_EQ(err.find("usage: vek-nats [options]") != std::string::npos, row.code == 2) << err;
        EXPECT_LE(std::count(err.begin(), err.end(), '\n'), 1 + (row.code == 2)) << err;
        const auto control = [](unsigned char c) { return (c < ' ' && c != '\n') || c == 0x7f; };
        EXPECT_EQ(std::find_if(err.begin(), err.end(), control), err.end()) << err;
        for (const char* secret : {"s3cr3t", "t0k3n", "Qk7", "Rm3"})
            EXPECT_EQ(shown.find(secret), std::string::npos) << secret << " in " << shown;
    }
}

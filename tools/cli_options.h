#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vek_nats/svc.h"

namespace vek_cli {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;  // the operation failed: time-out, refusal, invalid hash
inline constexpr int EXIT_USAGE = 2;

inline constexpr const char* DEFAULT_SERVER = "nats://127.0.0.1:4222";

struct Options;
using Words = std::vector<std::string>;

// One action of the program: a row of ACTIONS (cli_options.cpp). `take` reads the words after
// the action's name into Options, `run` (vek_nats_cli.cpp) does the work and gives the exit
// status.
struct Action {
    const char* name;  // matched without regard to case
    const char* args;  // as the help shows them
    bool (*take)(const Words& args, Options& out, std::string& error);
    int (*run)(const Options& options);
    bool prints;       // writes to standard output, which then must be open
    const char* help;  // lines after the first are indented under it
};

// The command line, checked: what parse_command_line accepts is runnable as it stands.
struct Options {
    const Action* action = nullptr;
    bool help = false;
    bool version = false;

    std::string server;  // --server, else $NATS_URL, else DEFAULT_SERVER
    // Time-outs and the secured-connection settings; the password and token may come from
    // $NATS_PASSWORD and $NATS_TOKEN.
    vek_nats::NATSSvcParam param;
    std::int64_t timeout_ms = 0;  // 0: the library's defaults
    std::int64_t count = 0;       // 0: no limit (sub, reply) or once (pub)
    bool sync = false;
    std::string queue;                 // sub, reply: the queue group, empty for none
    vek_nats::NATSSvcHeaders headers;  // --header: sent with pub, request, reply
    bool raw = false;                  // --raw: payloads printed byte for byte

    Words subjects;         // one, or up to five for sub
    std::string text;       // pub/request text, reply answer: the words joined
    bool has_text = false;  // pub reads stdin, reply echoes, when false
    std::string password;   // bcrypt, bcrypt_valid; "-" reads stdin
    bool password_given = false;
    std::string hash;  // bcrypt_valid

    // Streams: stream add|info|ls|rm, js-pub, js-sub.
    std::string verb;     // stream: add, info, ls or rm
    std::string stream;   // stream NAME, js-sub STREAM
    std::string durable;  // js-sub
    std::string filter;   // js-sub --filter
    std::string msg_id;   // js-pub --id
    std::int64_t replicas = 1;
    bool memory = false;
    std::int64_t max_age_ms = 0;
    bool work_queue = false;
};

// Fills `out` from argv and the environment; false with a one-line reason in `error` on a
// usage error.
bool parse_command_line(int argc, const char* const* argv, Options& out, std::string& error);

// The full help text, and the one-line hint that follows every usage error.
std::string help_text();
std::string usage_hint();

// The actions' work, in vek_nats_cli.cpp.
int run_pub(const Options& options);
int run_sub(const Options& options);
int run_request(const Options& options);
int run_reply(const Options& options);
int run_bcrypt(const Options& options);
int run_bcrypt_valid(const Options& options);
int run_stream(const Options& options);
int run_js_pub(const Options& options);
int run_js_sub(const Options& options);

}  // namespace vek_cli

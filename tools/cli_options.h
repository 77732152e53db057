#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vek_nats/text.h"

namespace vek_cli {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;  // the operation failed: time-out, refusal, invalid hash
inline constexpr int EXIT_USAGE = 2;

// The command line, checked: what parse_command_line accepts is runnable as it stands.
struct Options {
    vek_nats::EAct action = vek_nats::EAct_none;
    bool help = false;

    std::string server;  // meaningful when server_given; else the library's default URL
    bool server_given = false;
    std::int64_t timeout_ms = 0;  // 0: the library's defaults
    std::int64_t count = 0;       // 0: no limit (sub, reply) or once (pub)
    bool sync = false;

    std::vector<std::string> subjects;  // one, or up to five for sub
    std::string text;                   // pub/request text, reply answer: the words joined
    bool has_text = false;              // pub reads stdin, reply echoes, when false
    std::string password;               // bcrypt, bcrypt_valid; "-" reads stdin
    bool password_given = false;
    std::string hash;  // bcrypt_valid
};

// Fills `out` from argv; false with a one-line reason in `error` on a usage error.
bool parse_command_line(int argc, const char* const* argv, Options& out, std::string& error);

// The full help text, and the one-line hint that follows every usage error.
std::string help_text();
std::string usage_hint();

}  // namespace vek_cli

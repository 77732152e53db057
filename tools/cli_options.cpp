#include "cli_options.h"

#include <cmath>
#include <cstdlib>

#include "vek_nats/svc.h"

namespace vek_cli {
namespace {

using vek_nats::EAct;

// Counts and time-outs end up in 32-bit fields of the library and of libnats.
constexpr double MAX_NUMBER = 2147483647.0;

// The library's notion of a number decides what is numeric at all; on top of it only whole
// values from 1 up make sense for a count or a time-out.
bool parse_positive(const std::string& option, const std::string& text, std::int64_t& value,
                    std::string& error) {
    if (!vek_nats::is_digit(text)) {
        error = option + ": '" + text + "' is not a number";
        return false;
    }
    const double number = std::strtod(text.c_str(), nullptr);
    if (!(number >= 1.0) || number != std::floor(number)) {
        error = option + ": '" + text + "' is not a positive whole number";
        return false;
    }
    if (number > MAX_NUMBER) {
        error = option + ": '" + text + "' is too large (at most 2147483647)";
        return false;
    }
    value = static_cast<std::int64_t>(number);
    return true;
}

std::string join_words(const std::vector<std::string>& words, size_t first) {
    std::string text;
    for (size_t i = first; i < words.size(); ++i) {
        if (i > first) text += ' ';
        text += words[i];
    }
    return text;
}

bool parse_option(int argc, const char* const* argv, int& i, Options& out, std::string& error) {
    const std::string arg = argv[i];
    std::string name = arg;
    std::string value;
    bool has_value = false;
    const size_t eq = arg.find('=');
    if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        has_value = true;
    }
    if (name == "--help" || name == "--sync") {
        if (has_value) {
            error = "option " + name + " takes no value";
            return false;
        }
        (name == "--help" ? out.help : out.sync) = true;
        return true;
    }
    if (name != "--server" && name != "--timeout" && name != "--count") {
        error = "unknown option '" + arg + "'";
        return false;
    }
    if (!has_value) {
        if (i + 1 >= argc) {
            error = "option " + name + " needs a value";
            return false;
        }
        value = argv[++i];
    }
    if (name == "--server") {
        out.server = value;
        out.server_given = true;
        return true;
    }
    return parse_positive(name, value, name == "--count" ? out.count : out.timeout_ms, error);
}

bool take_subject(const std::vector<std::string>& args, Options& out, std::string& error) {
    if (args.empty() || args[0].empty()) {
        error = "missing subject";
        return false;
    }
    out.subjects.push_back(args[0]);
    return true;
}

bool take_subject_list(const std::vector<std::string>& args, Options& out, std::string& error) {
    if (args.empty()) {
        error = "missing subject";
        return false;
    }
    if (args.size() > 1) {
        error = "unexpected argument '" + args[1] + "' (separate subjects with commas)";
        return false;
    }
    if (vek_nats::split_string_to_tokens(args[0], ", \t", out.subjects) != vek_nats::STATUS_OK) {
        error = "missing subject";
        return false;
    }
    const size_t most = vek_nats::CNATSSvc::SLOT_COUNT;
    if (out.subjects.size() > most) {
        error = "too many subjects: " + std::to_string(out.subjects.size()) + " given, at most " +
                std::to_string(most);
        return false;
    }
    if (out.sync && out.subjects.size() > 1) {
        error = "--sync reads a single subject, " + std::to_string(out.subjects.size()) + " given";
        return false;
    }
    return true;
}

bool take_arguments(const std::vector<std::string>& args, Options& out, std::string& error) {
    const char* name = vek_nats::conv_EAct_to_string(out.action);
    const bool serves = out.action == vek_nats::EAct_sub || out.action == vek_nats::EAct_reply;
    if (out.sync && !serves) {
        error = std::string("--sync does not apply to ") + name;
        return false;
    }
    if (out.count != 0 && !serves && out.action != vek_nats::EAct_pub) {
        error = std::string("--count does not apply to ") + name;
        return false;
    }
    switch (out.action) {
        case vek_nats::EAct_pub:
        case vek_nats::EAct_reply:
            if (!take_subject(args, out, error)) return false;
            out.has_text = args.size() > 1;
            out.text = join_words(args, 1);
            return true;
        case vek_nats::EAct_request:
            if (!take_subject(args, out, error)) return false;
            if (args.size() < 2) {
                error = "missing request text";
                return false;
            }
            out.has_text = true;
            out.text = join_words(args, 1);
            return true;
        case vek_nats::EAct_sub:
            return take_subject_list(args, out, error);
        case vek_nats::EAct_bcrypt:
            if (args.size() > 1) {
                error = "too many arguments: bcrypt takes one PASSWORD or '-'";
                return false;
            }
            out.password_given = !args.empty();
            if (out.password_given) out.password = args[0];
            return true;
        case vek_nats::EAct_bcrypt_valid:
            if (args.size() != 2) {
                error = args.empty()       ? "missing password and hash"
                        : args.size() == 1 ? "missing hash"
                                           : "too many arguments: bcrypt_valid takes PASSWORD HASH";
                return false;
            }
            out.password_given = true;
            out.password = args[0];
            out.hash = args[1];
            return true;
        default:
            error = "unknown action";
            return false;
    }
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, Options& out, std::string& error) {
    std::vector<std::string> positional;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] != nullptr ? argv[i] : "";
        if (!options_done && arg == "--") {
            options_done = true;
        } else if (!options_done && arg == "-h") {
            out.help = true;
        } else if (!options_done && arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            if (!parse_option(argc, argv, i, out, error)) return false;
        } else {
            positional.push_back(arg);  // a lone "-" too: it names standard input
        }
    }
    if (out.help) return true;
    if (positional.empty()) {
        error = "missing action";
        return false;
    }
    // conv_string_to_EAct reads an empty word as "pub"; an action must be named.
    if (positional[0].empty()) {
        error = "empty action";
        return false;
    }
    out.action = vek_nats::conv_string_to_EAct(positional[0]);
    if (out.action == vek_nats::EAct_none) {
        error = "unknown action '" + positional[0] + "'";
        return false;
    }
    positional.erase(positional.begin());
    return take_arguments(positional, out, error);
}

std::string usage_hint() {
    std::string actions;
    for (int value = vek_nats::EAct_pub; value <= vek_nats::EAct_bcrypt_valid; ++value) {
        if (!actions.empty()) actions += '|';
        actions += vek_nats::conv_EAct_to_string(static_cast<EAct>(value));
    }
    return "usage: vek-nats [options] " + actions + " ARGS (see vek-nats --help)";
}

std::string help_text() {
    return R"HELP(usage: vek-nats [options] ACTION ARGS

Talks to a NATS server through the vek_nats library. ACTION is read without regard to case.

Actions:
  pub SUBJECT [TEXT...]       publish TEXT (the words joined by blanks), or each line of
                              standard input when no TEXT is given
  sub SUBJECT[,SUBJECT...]    print every message of up to 5 subjects as one line,
                              "subject: text (N bytes)", until stopped
  request SUBJECT TEXT...     send a request and print the answer
  reply SUBJECT [TEXT...]     answer requests with TEXT, or echo each request, until stopped
  bcrypt [PASSWORD|-]         print a bcrypt hash; '-' or no PASSWORD reads standard input
  bcrypt_valid PASSWORD HASH  print valid (exit 0) or invalid (exit 1); PASSWORD may be '-'

Options (anywhere before '--'):
  --server URLS   comma-separated server URLs (default: a server on this machine, port 4222)
  --timeout MS    request time-out, and receive time-out with --sync (default 10000)
  --count N       pub: send the text (or each line) N times; sub: stop after N messages;
                  reply: stop after N answers
  --sync          sub, reply: read one subject synchronously; a receive time-out ends the
                  program with exit status 1
  --help, -h      show this text

sub and reply report "ready" on standard error once the server knows their subscriptions.
SIGINT and SIGTERM end sub and reply cleanly, with exit status 0.

Exit status: 0 success, 1 operation failed (time-out, refused, invalid hash), 2 usage error.
A failure prints the library's status code (such as 0x910E0201) and its meaning on
standard error.
)HELP";
}

}  // namespace vek_cli

#include "cli_options.h"

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vek_cli {
namespace {

using vek_nats::EAct;
using vek_nats::NATSSvcParam;

// Counts and time-outs end up in 32-bit fields of the library and of libnats.
constexpr std::int64_t MAX_NUMBER = 2147483647;

enum OptionId {
    OPT_HELP = 'h',
    OPT_SERVER = 's',
    OPT_TIMEOUT = 256,
    OPT_COUNT,
    OPT_SYNC,
    OPT_QUEUE,
    OPT_USER,
    OPT_PASSWORD,
    OPT_TOKEN,
    OPT_NKEY,
    OPT_NKEY_SEED,
    OPT_CREDS,
    OPT_TLS,
    OPT_TLSCA,
    OPT_TLSCERT,
    OPT_TLSKEY,
    OPT_VERSION,
};

const option LONG_OPTIONS[] = {
    {"server", required_argument, nullptr, OPT_SERVER},
    {"timeout", required_argument, nullptr, OPT_TIMEOUT},
    {"count", required_argument, nullptr, OPT_COUNT},
    {"sync", no_argument, nullptr, OPT_SYNC},
    {"queue", required_argument, nullptr, OPT_QUEUE},
    {"user", required_argument, nullptr, OPT_USER},
    {"password", required_argument, nullptr, OPT_PASSWORD},
    {"token", required_argument, nullptr, OPT_TOKEN},
    {"nkey", required_argument, nullptr, OPT_NKEY},
    {"nkey-seed", required_argument, nullptr, OPT_NKEY_SEED},
    {"creds", required_argument, nullptr, OPT_CREDS},
    {"tls", no_argument, nullptr, OPT_TLS},
    {"tlsca", required_argument, nullptr, OPT_TLSCA},
    {"tlscert", required_argument, nullptr, OPT_TLSCERT},
    {"tlskey", required_argument, nullptr, OPT_TLSKEY},
    {"help", no_argument, nullptr, OPT_HELP},
    {"version", no_argument, nullptr, OPT_VERSION},
    {nullptr, 0, nullptr, 0},
};

// Options that fill a text field of the connection parameters; files are checked here, so
// that a mistyped path is a usage error and not a refused connection.
struct TextOption {
    int id;
    std::string NATSSvcParam::*field;
    bool file;
};
const TextOption TEXT_OPTIONS[] = {
    {OPT_USER, &NATSSvcParam::user, false},
    {OPT_PASSWORD, &NATSSvcParam::password, false},
    {OPT_TOKEN, &NATSSvcParam::token, false},
    {OPT_NKEY, &NATSSvcParam::nkey, false},
    {OPT_NKEY_SEED, &NATSSvcParam::nkey_seed_file, true},
    {OPT_CREDS, &NATSSvcParam::creds_file, true},
    {OPT_TLSCA, &NATSSvcParam::tls_ca_file, true},
    {OPT_TLSCERT, &NATSSvcParam::tls_cert_file, true},
    {OPT_TLSKEY, &NATSSvcParam::tls_key_file, true},
};

std::string name_of(int id) {
    for (const option& o : LONG_OPTIONS) {
        if (o.name != nullptr && o.val == id) return std::string("--") + o.name;
    }
    return "?";
}

// The library's notion of a number decides what is numeric at all; on top of it only whole
// values from 1 up make sense for a count or a time-out. `shown` is the text as given.
bool parse_positive(const std::string& option, const std::string& text, const std::string& shown,
                    std::int64_t& value, std::string& error) {
    if (!vek_nats::is_digit(text)) {
        error = option + ": '" + shown + "' is not a number";
        return false;
    }
    const double number = std::strtod(text.c_str(), nullptr);
    if (!(number >= 1.0) || number != std::floor(number)) {
        error = option + ": '" + shown + "' is not a positive whole number";
        return false;
    }
    if (number > static_cast<double>(MAX_NUMBER)) {
        error = option + ": '" + shown + "' is too large (at most 2147483647)";
        return false;
    }
    value = static_cast<std::int64_t>(number);
    return true;
}

// "500ms", "2s", "1m", or plain milliseconds.
bool parse_duration(const std::string& option, const std::string& text, std::int64_t& ms,
                    std::string& error) {
    static const struct {
        const char* unit;
        std::int64_t ms;
    } UNITS[] = {{"ms", 1}, {"s", 1000}, {"m", 60000}};
    std::string number = text;
    std::int64_t factor = 1;
    for (const auto& u : UNITS) {
        const size_t length = std::strlen(u.unit);
        if (text.size() > length && text.compare(text.size() - length, length, u.unit) == 0) {
            number = text.substr(0, text.size() - length);
            factor = u.ms;
            break;
        }
    }
    if (!vek_nats::is_digit(number)) {
        error =
            option + ": '" + text + "' is not a duration (such as 500ms, 2s, 1m, or milliseconds)";
        return false;
    }
    if (!parse_positive(option, number, text, ms, error)) return false;
    if (ms > MAX_NUMBER / factor) {
        error = option + ": '" + text + "' is too long (at most 2147483647 ms)";
        return false;
    }
    ms *= factor;
    return true;
}

bool set_text(const TextOption& o, const char* value, Options& out, std::string& error) {
    const std::string name = name_of(o.id);
    if (*value == '\0') {
        error = name + ": empty value";
        return false;
    }
    if (o.file && access(value, R_OK) != 0) {
        error = name + ": cannot read '" + value + "': " + std::strerror(errno);
        return false;
    }
    out.param.*o.field = value;
    return true;
}

bool take_option(int id, const char* value, Options& out, std::string& error) {
    switch (id) {
        case OPT_HELP:
            out.help = true;
            return true;
        case OPT_VERSION:
            out.version = true;
            return true;
        case OPT_SYNC:
            out.sync = true;
            return true;
        case OPT_TLS:
            out.param.tls = true;
            return true;
        case OPT_TIMEOUT:
            return parse_duration(name_of(id), value, out.timeout_ms, error);
        case OPT_COUNT:
            return parse_positive(name_of(id), value, value, out.count, error);
        case OPT_SERVER:
        case OPT_QUEUE:
            if (*value == '\0') {
                error = name_of(id) + ": empty value";
                return false;
            }
            (id == OPT_SERVER ? out.server : out.queue) = value;
            return true;
        default:
            for (const TextOption& o : TEXT_OPTIONS) {
                if (o.id == id) return set_text(o, value, out, error);
            }
            error = "unknown option";
            return false;
    }
}

// getopt_long reports through its return value; this turns that into our own message.
std::string option_error(int result, const char* arg) {
    const std::string given = arg != nullptr ? arg : "";
    if (result == ':') {
        return "option " + (given.rfind("--", 0) == 0 ? given : name_of(optopt)) + " needs a value";
    }
    if (given.rfind("--", 0) == 0) {
        const std::string name = given.substr(0, given.find('='));
        for (const option& o : LONG_OPTIONS) {
            if (o.name != nullptr && o.has_arg == no_argument &&
                name == std::string("--") + o.name && name != given) {
                return "option " + name + " takes no value";
            }
        }
        return "unknown option '" + name + "'";  // without its value: it may be a secret
    }
    return std::string("unknown option '-") + static_cast<char>(optopt) + "'";
}

const char* environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// The environment fills what the command line left open; then the settings must fit together.
bool complete_connection(Options& out, std::string& error) {
    NATSSvcParam& p = out.param;
    if (out.server.empty()) {
        const char* url = environment("NATS_URL");
        out.server = url != nullptr ? url : DEFAULT_SERVER;
    }
    if (!p.user.empty() && p.password.empty()) {
        const char* password = environment("NATS_PASSWORD");
        if (password == nullptr) {
            error = "--user needs a password: --password or NATS_PASSWORD";
            return false;
        }
        p.password = password;
    }
    if (p.user.empty() && !p.password.empty()) {
        error = "--password needs --user";
        return false;
    }
    const bool other_kind = !p.user.empty() || !p.nkey.empty() || !p.creds_file.empty();
    if (p.token.empty() && !other_kind) {
        const char* token = environment("NATS_TOKEN");
        if (token != nullptr) p.token = token;
    }
    const std::pair<bool, const char*> kinds[] = {{!p.user.empty(), "--user"},
                                                  {!p.token.empty(), "--token"},
                                                  {!p.nkey.empty(), "--nkey"},
                                                  {!p.creds_file.empty(), "--creds"}};
    const char* first = nullptr;
    for (const auto& [given, name] : kinds) {
        if (!given) continue;
        if (first != nullptr) {
            error = std::string(first) + " and " + name + " exclude each other";
            return false;
        }
        first = name;
    }
    const std::pair<const std::string*, const std::string*> pairs[] = {
        {&p.nkey, &p.nkey_seed_file}, {&p.tls_cert_file, &p.tls_key_file}};
    const std::pair<const char*, const char*> pair_names[] = {{"--nkey", "--nkey-seed"},
                                                              {"--tlscert", "--tlskey"}};
    for (size_t i = 0; i < 2; ++i) {
        if (pairs[i].first->empty() != pairs[i].second->empty()) {
            const bool first_given = !pairs[i].first->empty();
            error = std::string(first_given ? pair_names[i].first : pair_names[i].second) +
                    " needs " + (first_given ? pair_names[i].second : pair_names[i].first);
            return false;
        }
    }
    if (out.timeout_ms != 0) {
        p.request_timeout = out.timeout_ms;
        p.recv_timeout = out.timeout_ms;
    }
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
    if (!serves && (out.sync || !out.queue.empty())) {
        error = std::string(out.sync ? "--sync" : "--queue") + " does not apply to " + name;
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
    // getopt_long moves the words it has read in front of the others; it gets a copy of the
    // array, the strings stay where they are.
    std::vector<char*> words;
    for (int i = 0; i < argc; ++i) words.push_back(const_cast<char*>(argv[i]));
    words.push_back(nullptr);
    opterr = 0;
    optind = 0;  // glibc: start afresh
    for (;;) {
        const int id = getopt_long(argc, words.data(), ":hs:", LONG_OPTIONS, nullptr);
        if (id == -1) break;
        if (id == '?' || id == ':') {
            error = option_error(id, words[optind - 1]);
            return false;
        }
        if (!take_option(id, optarg, out, error)) return false;
    }
    if (out.help || out.version) return true;
    std::vector<std::string> positional(words.begin() + optind, words.begin() + argc);
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
    return take_arguments(positional, out, error) && complete_connection(out, error);
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
  -s, --server URLS  comma-separated server URLs (default: $NATS_URL, else a server on
                     this machine, port 4222)
  --timeout TIME     request time-out, and receive time-out with --sync: 500ms, 2s, 1m, or
                     plain milliseconds (default 10s)
  --count N          pub: send the text (or each line) N times; sub: stop after N messages;
                     reply: stop after N answers
  --sync             sub, reply: read one subject synchronously; a receive time-out ends the
                     program with exit status 1
  --queue GROUP      sub, reply: join queue group GROUP; each message goes to one member
  --user USER        user name; the password comes from --password PASSWORD or, better,
                     from $NATS_PASSWORD: a command line is visible to other users (ps)
  --token TOKEN      authentication token; $NATS_TOKEN keeps it off the command line
  --nkey PUBLIC      the user's public NKey, with --nkey-seed FILE holding its seed
  --creds FILE       credentials file (user JWT and seed)
  --tls              require TLS (also implied by the next three and by tls:// URLs)
  --tlsca FILE       PEM file of trusted certificate authorities
  --tlscert FILE     client certificate, with --tlskey FILE its key (mutual TLS)
  -h, --help         show this text
  --version          show the program's and the NATS client's versions

sub and reply report "ready" on standard error once the server knows their subscriptions.
SIGINT and SIGTERM end sub, reply and a pub reading standard input cleanly, with exit
status 0 once what was published is flushed; they end a request with exit status 1.

Exit status: 0 success, 1 operation failed (time-out, refused, invalid hash, lost standard
output), 2 usage error. A failure prints the library's status code (such as 0x910E0201) and
its meaning on standard error; passwords and tokens never appear in it.
)HELP";
}

}  // namespace vek_cli

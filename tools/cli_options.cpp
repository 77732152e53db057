#include "cli_options.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "internal/files.h"
#include "vek_nats/text.h"

namespace vek_cli {
namespace {

using vek_nats::NATSSvcParam;

// Counts and time-outs end up in 32-bit fields of the library and of libnats.
constexpr std::int64_t MAX_NUMBER = 2147483647;

// Where an option's value goes: a field of Options or of its connection parameters.
template <class T>
T& field(Options& out, T Options::*member) {
    return out.*member;
}
template <class T>
T& field(Options& out, T NATSSvcParam::*member) {
    return out.param.*member;
}

// What an option does with its value. A failure explains itself in `error`, which the parser
// prefixes with the option's name.
using Take = bool (*)(const std::string& value, Options& out, std::string& error);

template <auto Field>
bool flag(const std::string&, Options& out, std::string&) {
    field(out, Field) = true;
    return true;
}

template <auto Field>
bool text(const std::string& value, Options& out, std::string& error) {
    if (value.empty()) {
        error = "empty value";
        return false;
    }
    field(out, Field) = value;
    return true;
}

// Checked here, without blocking, so that a mistyped path, a FIFO or an empty file is a usage
// error at once and not a refused connection or a connect that never returns.
template <auto Field>
bool file(const std::string& value, Options& out, std::string& error) {
    if (!text<Field>(value, out, error)) return false;
    const int problem = vek_nats::detail::check_setting_file(value);
    if (problem == 0) return true;
    error = "cannot read '" + value + "': " + vek_nats::detail::setting_file_problem(problem);
    return false;
}

// "NAME:VALUE", repeatable; what the library refuses in a header is refused here already.
bool header(const std::string& value, Options& out, std::string& error) {
    const size_t colon = value.find(':');
    const std::string name = value.substr(0, colon);
    const bool bad_name = name.empty() || std::any_of(name.begin(), name.end(), [](char c) {
                              return c == ' ' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
                          });
    if (colon == std::string::npos || bad_name) {
        error = "'" + value + "' is not NAME:VALUE (a name without blanks or control bytes)";
        return false;
    }
    const std::string text = value.substr(colon + 1);
    if (text.find_first_of("\r\n") != std::string::npos) {
        error = "a header value cannot hold a line end";
        return false;
    }
    out.headers.emplace_back(name, text);
    return true;
}

// A whole number from 1 to MAX_NUMBER, digits only. `shown` is the text as given.
bool positive(const std::string& digits, const std::string& shown, std::int64_t& value,
              std::string& error) {
    const char* end = digits.data() + digits.size();
    const auto [stop, result] = std::from_chars(digits.data(), end, value);
    if (stop != end || (result != std::errc() && result != std::errc::result_out_of_range)) {
        error = "'" + shown + "' is not a number";
    } else if (result == std::errc::result_out_of_range || value > MAX_NUMBER) {
        error = "'" + shown + "' is too large (at most 2147483647)";
    } else if (value < 1) {
        error = "'" + shown + "' is not a positive whole number";
    } else {
        return true;
    }
    return false;
}

template <auto Field>
bool number(const std::string& value, Options& out, std::string& error) {
    return positive(value, value, field(out, Field), error);
}

// "500ms", "2s", "1m", or plain milliseconds.
template <auto Field>
bool duration(const std::string& value, Options& out, std::string& error) {
    static const struct {
        const char* unit;
        std::int64_t ms;
    } UNITS[] = {{"ms", 1}, {"s", 1000}, {"m", 60000}};
    std::string digits = value;
    std::int64_t factor = 1;
    for (const auto& u : UNITS) {
        const size_t length = std::strlen(u.unit);
        if (value.size() > length && value.compare(value.size() - length, length, u.unit) == 0) {
            digits.resize(value.size() - length);
            factor = u.ms;
            break;
        }
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        error = "'" + value + "' is not a duration (such as 500ms, 2s, 1m, or milliseconds)";
        return false;
    }
    std::int64_t& ms = field(out, Field);
    if (!positive(digits, value, ms, error)) return false;
    if (ms > MAX_NUMBER / factor) {
        error = "'" + value + "' is too long (at most 2147483647 ms)";
        return false;
    }
    ms *= factor;
    return true;
}

// Each option once: its long name ("--" left out), its short letter (0: none), what its value
// is called in the help (null: a flag), where the value goes and how it is checked, the
// actions it applies to (null: every one), its help.
struct OptionRow {
    const char* name;
    char letter;
    const char* arg;
    Take take;
    const char* actions;
    const char* help;
};

const OptionRow OPTIONS[] = {
    {"server", 's', "URLS", text<&Options::server>, nullptr,
     "comma-separated server URLs (default: $NATS_URL, else a server on this machine, port "
     "4222)"},
    {"timeout", 0, "TIME", duration<&Options::timeout_ms>, nullptr,
     "request time-out, and receive time-out with --sync: 500ms, 2s, 1m, or plain "
     "milliseconds (default 10s)"},
    {"count", 0, "N", number<&Options::count>, "pub sub reply js-sub",
     "pub: send the text (or each line) N times; sub: stop after N messages; reply: stop "
     "after N answers"},
    {"sync", 0, nullptr, flag<&Options::sync>, "sub reply",
     "sub, reply: read one subject synchronously; a receive time-out ends the program with "
     "exit status 1"},
    {"queue", 0, "GROUP", text<&Options::queue>, "sub reply",
     "sub, reply: join queue group GROUP; each message goes to one member"},
    // Every byte, headers and the connection's name.
    {"header", 'H', "NAME:VALUE", header, "pub request reply",
     "pub, request, reply: send the header with the message (repeat for more)"},
    {"raw", 0, nullptr, flag<&Options::raw>, "sub request",
     "sub, request: write payloads byte for byte, nothing added (no subject, no line end)"},
    {"name", 0, "NAME", text<&NATSSvcParam::name>, nullptr,
     "the connection's name in the server's monitoring"},
    {"user", 0, "USER", text<&NATSSvcParam::user>, nullptr,
     "user name, with --password or $NATS_PASSWORD"},
    {"password", 0, "PASSWORD", text<&NATSSvcParam::password>, nullptr,
     "the password of --user; better $NATS_PASSWORD: a command line is visible to other "
     "users (ps)"},
    {"token", 0, "TOKEN", text<&NATSSvcParam::token>, nullptr,
     "authentication token; $NATS_TOKEN keeps it off the command line"},
    {"nkey", 0, "PUBLIC", text<&NATSSvcParam::nkey>, nullptr,
     "the user's public NKey, with --nkey-seed"},
    {"nkey-seed", 0, "FILE", file<&NATSSvcParam::nkey_seed_file>, nullptr,
     "file holding the NKey's seed"},
    {"creds", 0, "FILE", file<&NATSSvcParam::creds_file>, nullptr,
     "credentials file (user JWT and seed)"},
    {"tls", 0, nullptr, flag<&NATSSvcParam::tls>, nullptr,
     "require TLS (also implied by the next three and by tls:// URLs)"},
    {"tlsca", 0, "FILE", file<&NATSSvcParam::tls_ca_file>, nullptr,
     "PEM file of trusted certificate authorities"},
    {"tlscert", 0, "FILE", file<&NATSSvcParam::tls_cert_file>, nullptr,
     "client certificate, with --tlskey (mutual TLS)"},
    {"tlskey", 0, "FILE", file<&NATSSvcParam::tls_key_file>, nullptr,
     "the client certificate's key"},
    {"replicas", 0, "N", number<&Options::replicas>, "stream",
     "stream add: keep the stream on N servers of a cluster (default 1)"},
    {"memory", 0, nullptr, flag<&Options::memory>, "stream",
     "stream add: keep the messages in memory instead of on disk"},
    {"max-age", 0, "TIME", duration<&Options::max_age_ms>, "stream",
     "stream add: remove messages older than TIME (default: kept)"},
    {"work-queue", 0, nullptr, flag<&Options::work_queue>, "stream",
     "stream add: remove each message once a consumer acknowledged it"},
    {"id", 0, "ID", text<&Options::msg_id>, "js-pub",
     "js-pub: message id; the stream stores one message per id within its duplicate window"},
    {"filter", 0, "SUBJECT", text<&Options::filter>, "js-sub",
     "js-sub: only messages of SUBJECT (when the durable is made)"},
    {"help", 'h', nullptr, flag<&Options::help>, nullptr, "show this text"},
    {"version", 0, nullptr, flag<&Options::version>, nullptr,
     "show the program's and the NATS client's versions"},
};

bool take_subject(const Words& args, Options& out, std::string& error) {
    if (args.empty() || args[0].empty()) {
        error = "missing subject";
        return false;
    }
    out.subjects.push_back(args[0]);
    return true;
}

std::string join_words(const Words& words, size_t first) {
    std::string text;
    for (size_t i = first; i < words.size(); ++i) {
        if (i > first) text += ' ';
        text += words[i];
    }
    return text;
}

bool take_subject_and_text(const Words& args, Options& out, std::string& error) {
    if (!take_subject(args, out, error)) return false;
    out.has_text = args.size() > 1;
    out.text = join_words(args, 1);
    return true;
}

bool take_request(const Words& args, Options& out, std::string& error) {
    if (!take_subject_and_text(args, out, error)) return false;
    if (!out.has_text) error = "missing request text";
    return out.has_text;
}

bool take_subject_list(const Words& args, Options& out, std::string& error) {
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

bool take_bcrypt(const Words& args, Options& out, std::string& error) {
    if (args.size() > 1) {
        error = "too many arguments: bcrypt takes one PASSWORD or '-'";
        return false;
    }
    out.password_given = !args.empty();
    if (out.password_given) out.password = args[0];
    return true;
}

bool take_bcrypt_valid(const Words& args, Options& out, std::string& error) {
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
}

// stream add NAME SUBJECT..., stream info|rm NAME, stream ls.
bool take_stream(const Words& args, Options& out, std::string& error) {
    static const struct {
        const char* verb;
        size_t least, most;  // words after the verb
    } VERBS[] = {{"add", 2, SIZE_MAX}, {"info", 1, 1}, {"ls", 0, 0}, {"rm", 1, 1}};
    if (args.empty()) {
        error = "missing stream action (add, info, ls or rm)";
        return false;
    }
    for (const auto& v : VERBS) {
        if (args[0] != v.verb) continue;
        const size_t n = args.size() - 1;
        if (n < v.least) {
            error = n == 0 ? "missing stream name" : "missing subject";
        } else if (n > v.most) {
            error = "unexpected argument '" + args[v.most + 1] + "'";
        } else {
            out.verb = v.verb;
            if (n > 0) out.stream = args[1];
            out.subjects.assign(args.begin() + std::min<size_t>(2, args.size()), args.end());
            return true;
        }
        return false;
    }
    error = "unknown stream action '" + args[0] + "' (add, info, ls or rm)";
    return false;
}

bool take_js_sub(const Words& args, Options& out, std::string& error) {
    if (args.size() != 2) {
        error = args.empty()       ? "missing stream and durable name"
                : args.size() == 1 ? "missing durable name"
                                   : "unexpected argument '" + args[2] + "'";
        return false;
    }
    out.stream = args[0];
    out.durable = args[1];
    return true;
}

const Action ACTIONS[] = {
    {"pub", "SUBJECT [TEXT...]", take_subject_and_text, run_pub, false,
     "publish TEXT (the words joined by blanks), or each line of standard input when no TEXT "
     "is given"},
    {"sub", "SUBJECT[,SUBJECT...]", take_subject_list, run_sub, true,
     "print every message of up to 5 subjects as one line, \"subject: text (N bytes)\", and "
     "its headers as \"  NAME: VALUE\" lines, until stopped"},
    {"request", "SUBJECT TEXT...", take_request, run_request, true,
     "send a request and print the answer, then its headers as \"  NAME: VALUE\" lines"},
    {"reply", "SUBJECT [TEXT...]", take_subject_and_text, run_reply, true,
     "answer requests with TEXT, or echo each request, until stopped"},
    {"stream", "add|info|ls|rm [NAME [SUBJECT...]]", take_stream, run_stream, true,
     "manage JetStream streams: add NAME SUBJECT... (or update it), info NAME, ls, rm NAME"},
    {"js-pub", "SUBJECT [TEXT...]", take_subject_and_text, run_js_pub, true,
     "publish into a stream as pub does, and print each message's stored sequence"},
    {"js-sub", "STREAM DURABLE", take_js_sub, run_js_sub, true,
     "print the messages of a durable consumer as sub does, acknowledging each once printed; "
     "a restart with the same DURABLE goes on where it stopped"},
    {"bcrypt", "[PASSWORD|-]", take_bcrypt, run_bcrypt, true,
     "print a bcrypt hash; '-' or no PASSWORD reads standard input"},
    {"bcrypt_valid", "PASSWORD HASH", take_bcrypt_valid, run_bcrypt_valid, true,
     "print valid (exit 0) or invalid (exit 1); PASSWORD may be '-'"},
};

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
    const struct {
        const std::string& value;
        const char* name;
        const std::string& partner;
        const char* partner_name;
    } pairs[] = {{p.nkey, "--nkey", p.nkey_seed_file, "--nkey-seed"},
                 {p.nkey_seed_file, "--nkey-seed", p.nkey, "--nkey"},
                 {p.tls_cert_file, "--tlscert", p.tls_key_file, "--tlskey"},
                 {p.tls_key_file, "--tlskey", p.tls_cert_file, "--tlscert"}};
    for (const auto& pair : pairs) {
        if (!pair.value.empty() && pair.partner.empty()) {
            error = std::string(pair.name) + " needs " + pair.partner_name;
            return false;
        }
    }
    p.binary_payloads = out.raw;
    if (out.timeout_ms != 0) {
        p.request_timeout = out.timeout_ms;
        p.recv_timeout = out.timeout_ms;
    }
    return true;
}

// True when `name` is one of the blank-separated words of `list`.
bool listed(const char* list, const char* name) {
    std::istringstream words(list);
    for (std::string word; words >> word;) {
        if (word == name) return true;
    }
    return false;
}

const OptionRow* find_option(const std::string& name, bool long_form) {
    for (const OptionRow& row : OPTIONS) {
        if (long_form ? name == row.name : name.size() == 1 && name[0] == row.letter) return &row;
    }
    return nullptr;
}

// Reads the options out of argv (anywhere before "--") into `out`, the other words into
// `positional`. No message repeats an unknown option's value: it may be a secret.
bool take_options(int argc, const char* const* argv, Options& out, Words& positional,
                  std::vector<const OptionRow*>& given, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") {
            positional.insert(positional.end(), argv + i + 1, argv + argc);
            break;
        }
        if (word.size() < 2 || word[0] != '-') {
            positional.push_back(word);
            continue;
        }
        const bool long_form = word[1] == '-';
        const size_t equals = long_form ? word.find('=') : std::string::npos;
        const std::string name = long_form ? word.substr(2, equals - 2) : word.substr(1, 1);
        const OptionRow* row = find_option(name, long_form);
        if (row == nullptr) {
            error = "unknown option '" + std::string(long_form ? "--" : "-") + name + "'";
            return false;
        }
        const std::string option = std::string("--") + row->name;
        const bool attached = equals != std::string::npos || (!long_form && word.size() > 2);
        std::string value;
        if (row->arg == nullptr && attached) {
            error = "option " + option + " takes no value";
            return false;
        }
        if (attached) {
            value = word.substr(long_form ? equals + 1 : 2);
        } else if (row->arg != nullptr) {
            if (i + 1 == argc) {
                error = "option " + option + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!row->take(value, out, error)) {
            error = option + ": " + error;
            return false;
        }
        given.push_back(row);
    }
    return true;
}

const size_t HELP_WIDTH = 92;

// One entry of the help: `left` in a column `width` wide, `text` wrapped beside it.
void add_entry(std::string& help, const std::string& left, size_t width, const char* text) {
    std::string line = "  " + left;
    line.resize(width, ' ');
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        const bool started = line.size() > width;
        if (started && line.size() + 1 + word.size() > HELP_WIDTH) {
            help += line + '\n';
            line.assign(width, ' ');
        } else if (started) {
            line += ' ';
        }
        line += word;
    }
    help += line + '\n';
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, Options& out, std::string& error) {
    Words positional;
    std::vector<const OptionRow*> given;
    if (!take_options(argc, argv, out, positional, given, error)) return false;
    if (out.help || out.version) return true;
    if (positional.empty()) {
        error = "missing action";
        return false;
    }
    for (const Action& action : ACTIONS) {
        if (strcasecmp(action.name, positional[0].c_str()) == 0) out.action = &action;
    }
    if (out.action == nullptr) {
        error = "unknown action '" + positional[0] + "'";
        return false;
    }
    for (const OptionRow* row : given) {
        if (row->actions != nullptr && !listed(row->actions, out.action->name)) {
            error = std::string("--") + row->name + " does not apply to " + out.action->name;
            return false;
        }
    }
    positional.erase(positional.begin());
    return out.action->take(positional, out, error) && complete_connection(out, error);
}

std::string usage_hint() {
    std::string actions;
    for (const Action& action : ACTIONS) {
        if (!actions.empty()) actions += '|';
        actions += action.name;
    }
    return "usage: vek-nats [options] " + actions + " ARGS (see vek-nats --help)";
}

std::string help_text() {
    std::string help =
        "usage: vek-nats [options] ACTION ARGS\n\n"
        "Talks to a NATS server through the vek_nats library. ACTION is read without regard to "
        "case.\n\nActions:\n";
    for (const Action& action : ACTIONS) {
        add_entry(help, std::string(action.name) + " " + action.args, 30, action.help);
    }
    help += "\nOptions (anywhere before '--'):\n";
    for (const OptionRow& row : OPTIONS) {
        std::string left = row.letter != 0 ? std::string("-") + row.letter + ", --" : "--";
        left += row.name;
        if (row.arg != nullptr) left = left + " " + row.arg;
        add_entry(help, left, 23, row.help);
    }
    return help + R"HELP(
sub and reply report "ready" on standard error once the server knows their subscriptions.
SIGINT and SIGTERM end sub, reply and a pub reading standard input cleanly, with exit
status 0 once what was published is flushed (sub and reply drain: what was delivered is
printed and answered first); they end a request with exit status 1. A run
that cannot end so within half a second (still connecting, a flush the server does not
answer, a blocked output) ends then with status 128 + the signal's number (130, 143).

Exit status: 0 success, 1 operation failed (time-out, refused, invalid hash, closed or lost
standard output), 2 usage error. A failure prints the library's status code (such as
0x910E0201) and its meaning on standard error; passwords and tokens never appear in it, and
control characters that came from outside are shown as \xNN.
)HELP";
}

}  // namespace vek_cli

// vek-nats: publish, subscribe, request, reply and hash passwords from the shell.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

#include "cli_options.h"
#include "signal_stop.h"
#include "vek_nats/vek_nats.h"

namespace vek_cli {
namespace {

using namespace vek_nats;

// The roles share one connection in their base; the tool reaches it for a flush, which tells
// when the server has taken our subscriptions or publications, so that "ready" is true when
// printed and a publisher's last message is not lost to an early exit.
template <class Role>
class Endpoint : public Role {
public:
    std::string default_urls() const { return this->m_urls; }
    natsStatus flush(std::int64_t timeout_ms) {
        if (this->m_conn == nullptr) return NATS_CONNECTION_CLOSED;
        return natsConnection_FlushTimeout(this->m_conn, timeout_ms);
    }
};

constexpr std::int64_t DEFAULT_TIMEOUT_MS = 10000;

void print_usage_error(const std::string& message) {
    std::fprintf(stderr, "vek-nats: %s\n%s\n", message.c_str(), usage_hint().c_str());
}

// One line per failure: what was tried, the status code and its meaning.
void print_failure(const std::string& what, svc_status status, std::string cause = "") {
    const std::uint32_t reported = status - STATUS_CONNECTION_BASE;
    if (cause.empty() && reported != 0 && reported <= NATS_MISSED_HEARTBEAT) {
        cause = natsStatus_GetText(static_cast<natsStatus>(reported));
    }
    if (!cause.empty()) cause = " - " + cause;
    std::fprintf(stderr, "vek-nats: %s: 0x%08X %s%s\n", what.c_str(), status, status_text(status),
                 cause.c_str());
}

// libnats keeps the cause of the calling thread's last failed call ("(conn.c:2088): No server
// available for connection"); after a failed connect it names what went wrong.
std::string nats_cause() {
    natsStatus status = NATS_OK;
    const char* text = nats_GetLastError(&status);
    if (status == NATS_OK || text == nullptr) return "";
    std::string cause = text;
    const size_t origin = cause.find("): ");
    if (!cause.empty() && cause.front() == '(' && origin != std::string::npos) {
        cause.erase(0, origin + 3);
    }
    return cause;
}

void print_nats_failure(const std::string& what, natsStatus status) {
    std::fprintf(stderr, "vek-nats: %s: NATS status %u (%s)\n", what.c_str(),
                 static_cast<unsigned>(status), natsStatus_GetText(status));
}

// A whole line in one write: a stop by signal never leaves half of one behind (signals are
// taken by another thread, so this one is never interrupted inside it).
void write_line(const std::string& text) {
    const std::string line = text + '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

// Message text on one line: control characters and backslashes escaped, other bytes as sent.
std::string one_line(const std::string& text) {
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    out += "\\x";
                    out += HEX[byte >> 4];
                    out += HEX[byte & 0xf];
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string message_line(const NATSSvcMsg& msg) {
    return msg.subject + ": " + one_line(msg.data) + " (" + std::to_string(msg.dataLen) + " bytes)";
}

std::string joined(const std::vector<std::string>& subjects) {
    std::string text;
    for (const std::string& s : subjects) text += (text.empty() ? "" : ",") + s;
    return text;
}

template <class Role>
bool connect(Endpoint<Role>& role, const Options& options) {
    NATSSvcParam param;
    if (options.timeout_ms != 0) {
        param.request_timeout = options.timeout_ms;
        param.recv_timeout = options.timeout_ms;
    }
    const std::string urls = options.server_given ? options.server : role.default_urls();
    const svc_status status = role.connect(urls.c_str(), param);
    if (status != STATUS_OK) {
        print_failure("connecting to " + urls, status, nats_cause());
        std::fprintf(stderr, "%s\n", usage_hint().c_str());
        return false;
    }
    return true;
}

template <class Role>
bool flush(Endpoint<Role>& role, const Options& options, const char* what) {
    const natsStatus status =
        role.flush(options.timeout_ms != 0 ? options.timeout_ms : DEFAULT_TIMEOUT_MS);
    if (status != NATS_OK) print_nats_failure(what, status);
    return status == NATS_OK;
}

// Strips the line end that getline leaves of a CR LF pair.
void chomp(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

int run_pub(const Options& options) {
    Endpoint<CNATSPublisher> pub;
    if (!connect(pub, options)) return EXIT_FAILED;
    const std::string& subject = options.subjects.front();
    const std::int64_t times = options.count != 0 ? options.count : 1;
    const std::string what = "publishing on " + subject;

    if (options.has_text) {
        for (std::int64_t i = 0; i < times; ++i) {
            const svc_status status = pub.publish_string(subject.c_str(), options.text.c_str());
            if (status != STATUS_OK) {
                print_failure(what, status);
                return EXIT_FAILED;
            }
        }
    } else {
        // Lines are sent as bytes, so a zero byte inside one travels as well.
        std::string line;
        while (std::getline(std::cin, line)) {
            chomp(line);
            for (std::int64_t i = 0; i < times; ++i) {
                const svc_status status =
                    pub.publish(subject.c_str(), line.data(), static_cast<int>(line.size()));
                if (status != STATUS_OK) {
                    print_failure(what, status);
                    return EXIT_FAILED;
                }
            }
        }
    }
    return flush(pub, options, what.c_str()) ? EXIT_OK : EXIT_FAILED;
}

int run_sub(const Options& options) {
    SignalStop stop;  // first: no thread may exist before the signals are blocked
    Endpoint<CNATSSubscriber> sub;
    if (!connect(sub, options)) return EXIT_FAILED;
    for (const std::string& subject : options.subjects) {
        const svc_status status = options.sync ? sub.subscribe_sync(subject.c_str())
                                               : sub.subscribe(subject.c_str(), nullptr, nullptr);
        if (status != STATUS_OK) {
            print_failure("subscribing to " + subject, status);
            return EXIT_FAILED;
        }
    }
    const std::string subjects = joined(options.subjects);
    if (!flush(sub, options, ("subscribing to " + subjects).c_str())) return EXIT_FAILED;
    std::fprintf(stderr, "vek-nats: sub: ready, listening on %s\n", subjects.c_str());

    // recv ends when this subject is unsubscribed; the tool never unsubscribes, so any will do.
    const char* watched = options.subjects.front().c_str();
    for (std::int64_t received = 0; options.count == 0 || received < options.count;) {
        NATSSvcMsg msg;
        if (!stop.enter_wait(sub)) break;
        const svc_status status =
            options.sync ? sub.recv_sync(watched, msg) : sub.recv(watched, msg);
        stop.leave_wait();
        // Every message has a subject, and the result alone cannot tell an empty message from
        // the end of the wait.
        if (!msg.subject.empty()) {
            write_line(message_line(msg));
            ++received;
            continue;
        }
        if (stop.stopped() || status == STATUS_OK) break;
        print_failure("receiving on " + subjects, status);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

int run_request(const Options& options) {
    Endpoint<CNATSRequestor> req;
    if (!connect(req, options)) return EXIT_FAILED;
    const std::string& subject = options.subjects.front();
    NATSSvcMsg answer;
    const std::int64_t timeout_ms =
        options.timeout_ms != 0 ? options.timeout_ms : DEFAULT_TIMEOUT_MS;
    const std::int64_t started = nats_Now();
    const svc_status status = req.request_string(subject.c_str(), options.text.c_str(), answer);
    if (status != STATUS_OK) {
        // The status does not tell a time-out from a refusal; the time spent does.
        const bool timed_out = nats_Now() - started >= timeout_ms;
        print_failure("request on " + subject, status,
                      timed_out ? "no answer within " + std::to_string(timeout_ms) + " ms" : "");
        return EXIT_FAILED;
    }
    write_line(answer.data);
    return EXIT_OK;
}

int run_reply(const Options& options) {
    SignalStop stop;  // first: no thread may exist before the signals are blocked
    Endpoint<CNATSReplier> rep;
    if (!connect(rep, options)) return EXIT_FAILED;
    const std::string& subject = options.subjects.front();
    const svc_status subscribed = options.sync ? rep.subscribe_sync(subject.c_str())
                                               : rep.subscribe(subject.c_str(), nullptr, nullptr);
    if (subscribed != STATUS_OK) {
        print_failure("subscribing to " + subject, subscribed);
        return EXIT_FAILED;
    }
    if (!flush(rep, options, ("subscribing to " + subject).c_str())) return EXIT_FAILED;
    std::fprintf(stderr, "vek-nats: reply: ready, serving %s\n", subject.c_str());

    for (std::int64_t answered = 0; options.count == 0 || answered < options.count;) {
        NATSSvcMsg msg;
        if (!stop.enter_wait(rep)) break;
        const svc_status status =
            options.sync ? rep.recv_sync(subject.c_str(), msg) : rep.recv(subject.c_str(), msg);
        stop.leave_wait();
        if (msg.subject.empty()) {
            if (stop.stopped() || status == STATUS_OK) break;
            print_failure("receiving on " + subject, status);
            return EXIT_FAILED;
        }
        // A plain publish on the subject has nowhere to be answered; serving goes on.
        if (msg.inbox.empty()) {
            std::fprintf(stderr, "vek-nats: reply: message on %s has no reply subject, skipped\n",
                         msg.subject.c_str());
            continue;
        }
        msg.reply_data = options.has_text ? options.text : msg.data;
        const svc_status status_reply = rep.reply(subject.c_str(), msg);
        if (status_reply != STATUS_OK) {
            print_failure("answering on " + msg.inbox, status_reply);
            return EXIT_FAILED;
        }
        write_line(message_line(msg) + " -> " + one_line(msg.reply_data));
        ++answered;
    }
    return EXIT_OK;
}

// A password from standard input keeps it out of the shell history; on a terminal it is not
// echoed.
bool read_password(std::string& password) {
    const bool terminal = isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        std::fputs("Password: ", stderr);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool got = static_cast<bool>(std::getline(std::cin, password));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (got) chomp(password);
    return got;
}

bool password_of(const Options& options, std::string& password) {
    if (options.password_given && options.password != "-") {
        password = options.password;
        return true;
    }
    if (read_password(password)) return true;
    print_usage_error("no password on standard input");
    return false;
}

int run_bcrypt(const Options& options) {
    std::string password;
    if (!password_of(options, password)) return EXIT_USAGE;
    try {
        write_line(CNATSSvc::bcrypt(password, 12));
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "vek-nats: %s\n", e.what());
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

int run_bcrypt_valid(const Options& options) {
    std::string password;
    if (!password_of(options, password)) return EXIT_USAGE;
    const bool valid = CNATSSvc::bcrypt_valid(password, options.hash);
    write_line(valid ? "valid" : "invalid");
    return valid ? EXIT_OK : EXIT_FAILED;
}

}  // namespace
}  // namespace vek_cli

int main(int argc, char** argv) {
    using namespace vek_cli;
    Options options;
    std::string error;
    if (!parse_command_line(argc, argv, options, error)) {
        print_usage_error(error);
        return EXIT_USAGE;
    }
    if (options.help) {
        std::fputs(help_text().c_str(), stdout);
        return EXIT_OK;
    }
    switch (options.action) {
        case vek_nats::EAct_pub:
            return run_pub(options);
        case vek_nats::EAct_sub:
            return run_sub(options);
        case vek_nats::EAct_request:
            return run_request(options);
        case vek_nats::EAct_reply:
            return run_reply(options);
        case vek_nats::EAct_bcrypt:
            return run_bcrypt(options);
        case vek_nats::EAct_bcrypt_valid:
            return run_bcrypt_valid(options);
        default:
            break;
    }
    print_usage_error("unknown action");
    return EXIT_USAGE;
}

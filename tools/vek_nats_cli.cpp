// vek-nats: publish, subscribe, request, reply and hash passwords from the shell.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include "cli_options.h"
#include "internal/subject.h"
#include "internal/urls.h"
#include "signal_stop.h"
#include "vek_nats/vek_nats.h"

namespace vek_cli {
namespace {

using namespace vek_nats;

constexpr std::int64_t DEFAULT_TIMEOUT_MS = 10000;

// Every line on standard error goes out through here: what came from outside (URLs, subjects,
// option values, libnats' words) is in it, and none of its control bytes may reach a terminal
// raw, where a crafted argument would forge lines.
std::string shown(const std::string& text) {
    return vek_nats::detail::shown_subject(text.c_str());
}

void say(const std::string& line) {
    std::fprintf(stderr, "vek-nats: %s\n", shown(line).c_str());
}

void print_usage_error(const std::string& message) {
    say(message);
    std::fprintf(stderr, "%s\n", usage_hint().c_str());
}

// One line per failure: what was tried, the status code and its meaning.
void print_failure(const std::string& what, svc_status status, std::string cause = "") {
    const std::uint32_t reported = status - STATUS_CONNECTION_BASE;
    if (cause.empty() && reported != 0 && reported <= NATS_MISSED_HEARTBEAT) {
        cause = natsStatus_GetText(static_cast<natsStatus>(reported));
    }
    if (!cause.empty()) cause = " - " + cause;
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", status);
    say(what + ": " + code + " " + status_text(status) + cause);
}

// Standard output is written unbuffered, so that a failed write (a closed pipe, a full disk)
// is seen at the line that failed and ends the program instead of passing unnoticed.
bool write_out(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            say(std::string("writing to standard output: ") +
                (n < 0 ? std::strerror(errno) : "nothing written"));
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// A whole line in one write: a stop by signal never leaves half of one behind (signals are
// taken by another thread, so this one is never interrupted inside it).
bool write_line(const std::string& text) {
    return write_out(text + '\n');
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
    return shown(msg.subject) + ": " + one_line(msg.data) + " (" + std::to_string(msg.dataLen) +
           " bytes)";
}

// The message's headers, one "  NAME: VALUE" line each, escaped as message text is.
std::string header_lines(const NATSSvcHeaders& headers) {
    std::string lines;
    for (const auto& [name, value] : headers)
        lines += "\n  " + one_line(name) + ": " + one_line(value);
    return lines;
}

std::string joined(const std::vector<std::string>& subjects) {
    std::string text;
    for (const std::string& s : subjects) text += (text.empty() ? "" : ",") + s;
    return text;
}

// libnats' own words may quote what it was given: the masking of URLs applies, and the secrets
// given apart from a URL are cut out too.
std::string without_secrets(const Options& options) {
    std::string text = vek_nats::detail::last_nats_error();
    for (const std::string* secret : {&options.param.password, &options.param.token}) {
        if (secret->empty()) continue;
        for (size_t at; (at = text.find(*secret)) != std::string::npos;) {
            text.replace(at, secret->size(), "***");
        }
    }
    return text;
}

// A refused connection is not a usage error: no usage hint.
bool connect(CNATSSvc& role, const Options& options) {
    const svc_status status = role.connect(options.server.c_str(), options.param);
    if (status != STATUS_OK) {
        // The list is masked as a whole: a password may hold the comma that separates URLs.
        print_failure("connecting to " + vek_nats::detail::mask_url_secrets(options.server), status,
                      without_secrets(options));
        return false;
    }
    return true;
}

bool flush(CNATSSvc& role, const Options& options, const std::string& what) {
    const svc_status status =
        role.flush(options.timeout_ms != 0 ? options.timeout_ms : DEFAULT_TIMEOUT_MS);
    if (status != STATUS_OK) print_failure(what, status);
    return status == STATUS_OK;
}

// Subscribes each subject, in the queue group when one is given.
template <class Role>
bool subscribe_all(Role& role, const Options& options) {
    for (const std::string& subject : options.subjects) {
        const char* s = subject.c_str();
        const char* group = options.queue.c_str();
        const svc_status status =
            options.queue.empty()
                ? (options.sync ? role.subscribe_sync(s) : role.subscribe(s, nullptr, nullptr))
                : (options.sync ? role.subscribe_sync_queue(s, group)
                                : role.subscribe_queue(s, group, nullptr, nullptr));
        if (status != STATUS_OK) {
            print_failure("subscribing to " + subject, status);
            return false;
        }
    }
    return flush(role, options, "subscribing to " + joined(options.subjects));
}

// Strips the line end that getline leaves of a CR LF pair.
void chomp(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

// Lines of standard input, read so that a stop by signal ends the wait for the next one.
class LineReader {
public:
    explicit LineReader(SignalStop& stop) : m_stop(stop) {}

    // False at the end of the input, on a stop, or on a read error (reported).
    bool next(std::string& line) {
        for (;;) {
            const size_t end = m_buffer.find('\n');
            if (end != std::string::npos) {
                line.assign(m_buffer, 0, end);
                m_buffer.erase(0, end + 1);
                chomp(line);
                return true;
            }
            if (m_ended || !m_stop.wait_readable(STDIN_FILENO)) break;
            char chunk[4096];
            const ssize_t n = read(STDIN_FILENO, chunk, sizeof(chunk));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) say(std::string("reading standard input: ") + std::strerror(errno));
            if (n <= 0) m_ended = true;
            if (n > 0) m_buffer.append(chunk, static_cast<size_t>(n));
        }
        // The last line may lack its line end.
        if (m_buffer.empty() || m_stop.stopped()) return false;
        line.swap(m_buffer);
        m_buffer.clear();
        chomp(line);
        return true;
    }

private:
    SignalStop& m_stop;
    std::string m_buffer;
    bool m_ended = false;
};

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

}  // namespace

int run_pub(const Options& options) {
    SignalStop stop;  // first: no thread may exist before the signals are blocked
    CNATSPublisher pub;
    if (!connect(pub, options)) return EXIT_FAILED;
    const std::string& subject = options.subjects.front();
    const std::int64_t times = options.count != 0 ? options.count : 1;
    const std::string what = "publishing on " + subject;

    // Lines are sent as bytes, so a zero byte inside one travels as well. A stop ends the
    // publishing, and what was sent is still flushed.
    LineReader input(stop);
    std::string line = options.text;
    while (options.has_text || input.next(line)) {
        for (std::int64_t i = 0; i < times && !stop.stopped(); ++i) {
            const int size = static_cast<int>(line.size());
            const svc_status status =
                options.headers.empty()
                    ? pub.publish(subject.c_str(), line.data(), size)
                    : pub.publish(subject.c_str(), line.data(), size, options.headers);
            if (status != STATUS_OK) {
                print_failure(what, status);
                return EXIT_FAILED;
            }
        }
        if (options.has_text) break;
    }
    return flush(pub, options, what) ? EXIT_OK : EXIT_FAILED;
}

int run_sub(const Options& options) {
    SignalStop stop;  // first: no thread may exist before the signals are blocked
    CNATSSubscriber sub;
    const SignalStop::Settled settled{stop};
    if (!connect(sub, options) || !subscribe_all(sub, options)) return EXIT_FAILED;
    const std::string subjects = joined(options.subjects);
    say("sub: ready, listening on " + subjects);

    // recv ends when this subject is unsubscribed; the tool never unsubscribes, so any will do.
    const char* watched = options.subjects.front().c_str();
    for (std::int64_t received = 0; options.count == 0 || received < options.count;) {
        NATSSvcMsg msg;
        if (!stop.enter_wait(sub, SignalStop::Wake::drain)) break;
        const svc_status status =
            options.sync ? sub.recv_sync(watched, msg) : sub.recv(watched, msg);
        stop.leave_wait();
        // Every message has a subject, and the result alone cannot tell an empty message from
        // the end of the wait.
        if (!msg.subject.empty()) {
            const bool written = options.raw
                                     ? write_out(msg.data)
                                     : write_line(message_line(msg) + header_lines(msg.headers));
            if (!written) return EXIT_FAILED;
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
    SignalStop stop;  // first: no thread may exist before the signals are blocked
    CNATSRequestor req;
    if (!connect(req, options)) return EXIT_FAILED;
    const std::string& subject = options.subjects.front();
    const std::string what = "request on " + subject;
    NATSSvcMsg answer;
    const std::int64_t timeout_ms =
        options.timeout_ms != 0 ? options.timeout_ms : DEFAULT_TIMEOUT_MS;
    svc_status status = STATUS_OK;
    if (stop.enter_wait(req, SignalStop::Wake::close)) {
        const std::string& text = options.text;
        status = options.headers.empty()
                     ? req.request_string(subject.c_str(), text.c_str(), answer)
                     : req.request(subject.c_str(), text.data(), static_cast<int>(text.size()),
                                   options.headers, answer);
        stop.leave_wait();
    }
    if (stop.stopped()) {
        say(what + ": interrupted");
        return EXIT_FAILED;
    }
    if (status != STATUS_OK) {
        const natsStatus cause = last_nats_status();
        print_failure(what, status,
                      cause == NATS_NO_RESPONDERS ? "no responders"
                      : cause == NATS_TIMEOUT
                          ? "no answer within " + std::to_string(timeout_ms) + " ms"
                          : "");
        return EXIT_FAILED;
    }
    if (options.raw) return write_out(answer.data) ? EXIT_OK : EXIT_FAILED;
    return write_line(one_line(answer.data) + header_lines(answer.headers)) ? EXIT_OK : EXIT_FAILED;
}

int run_reply(const Options& options) {
    SignalStop stop;  // first: no thread may exist before the signals are blocked
    CNATSReplier rep;
    const SignalStop::Settled settled{stop};
    if (!connect(rep, options) || !subscribe_all(rep, options)) return EXIT_FAILED;
    const std::string& subject = options.subjects.front();
    say("reply: ready, serving " + subject);

    for (std::int64_t answered = 0; options.count == 0 || answered < options.count;) {
        NATSSvcMsg msg;
        if (!stop.enter_wait(rep, SignalStop::Wake::drain)) break;
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
            say("reply: message on " + msg.subject + " has no reply subject, skipped");
            continue;
        }
        msg.reply_data = options.has_text ? options.text : msg.data;
        const svc_status status_reply = rep.reply(subject.c_str(), msg, options.headers);
        if (status_reply != STATUS_OK) {
            print_failure("answering on " + msg.inbox, status_reply);
            return EXIT_FAILED;
        }
        if (!write_line(message_line(msg) + " -> " + one_line(msg.reply_data))) return EXIT_FAILED;
        ++answered;
    }
    return EXIT_OK;
}

int run_bcrypt(const Options& options) {
    std::string password;
    if (!password_of(options, password)) return EXIT_USAGE;
    try {
        return write_line(CNATSSvc::bcrypt(password, 12)) ? EXIT_OK : EXIT_FAILED;
    } catch (const std::runtime_error& e) {
        say(e.what());
        return EXIT_FAILED;
    }
}

int run_bcrypt_valid(const Options& options) {
    std::string password;
    if (!password_of(options, password)) return EXIT_USAGE;
    const bool valid = CNATSSvc::bcrypt_valid(password, options.hash);
    if (!write_line(valid ? "valid" : "invalid")) return EXIT_FAILED;
    return valid ? EXIT_OK : EXIT_FAILED;
}

int run_stream(const Options& options) {
    SignalStop stop;  // first: no thread may exist before the signals are blocked
    CNATSStreamPublisher js;
    if (!connect(js, options)) return EXIT_FAILED;
    const char* name = options.stream.c_str();
    const std::string what = options.verb + " stream " + options.stream;
    svc_status status = STATUS_OK;
    std::string text;
    if (options.verb == "add") {
        NATSStreamConfig config;
        config.name = options.stream;
        config.subjects = options.subjects;
        config.memory_storage = options.memory;
        config.replicas = static_cast<int>(options.replicas);
        config.max_age_ms = options.max_age_ms;
        config.work_queue = options.work_queue;
        status = js.add_stream(config);
    } else if (options.verb == "rm") {
        status = js.delete_stream(name);
    } else if (options.verb == "ls") {
        std::vector<std::string> names;
        status = js.list_streams(names);
        for (const std::string& n : names) text += one_line(n) + '\n';
    } else {
        NATSStreamInfo info;
        status = js.stream_info(name, info);
        const NATSStreamConfig& c = info.config;
        const std::pair<const char*, std::string> rows[] = {
            {"name", c.name},
            {"subjects", joined(c.subjects)},
            {"storage", c.memory_storage ? "memory" : "file"},
            {"replicas", std::to_string(c.replicas)},
            {"retention", c.work_queue ? "work queue" : "limits"},
            {"max age", std::to_string(c.max_age_ms) + " ms"},
            {"messages", std::to_string(info.messages)},
            {"bytes", std::to_string(info.bytes)},
            {"first sequence", std::to_string(info.first_seq)},
            {"last sequence", std::to_string(info.last_seq)},
            {"consumers", std::to_string(info.consumers)},
            {"leader", info.leader}};
        for (const auto& [label, value] : rows)
            text += std::string(label) + ": " + one_line(value) + '\n';
    }
    if (status != STATUS_OK) {
        print_failure(what, status);
        return EXIT_FAILED;
    }
    return write_out(text) ? EXIT_OK : EXIT_FAILED;
}

int run_js_pub(const Options& options) {
    SignalStop stop;  // first: no thread may exist before the signals are blocked
    CNATSStreamPublisher js;
    if (!connect(js, options)) return EXIT_FAILED;
    const std::string& subject = options.subjects.front();
    const char* id = options.msg_id.empty() ? nullptr : options.msg_id.c_str();
    LineReader input(stop);
    std::string line = options.text;
    while (!stop.stopped() && (options.has_text || input.next(line))) {
        std::uint64_t seq = 0;
        const svc_status status =
            js.publish(subject.c_str(), line.data(), static_cast<int>(line.size()), id, &seq);
        if (status != STATUS_OK) {
            print_failure("publishing on " + subject, status);
            return EXIT_FAILED;
        }
        if (!write_line(std::to_string(seq))) return EXIT_FAILED;
        if (options.has_text) break;
    }
    return EXIT_OK;
}

int run_js_sub(const Options& options) {
    SignalStop stop;  // first: no thread may exist before the signals are blocked
    CNATSStreamConsumer js;
    if (!connect(js, options)) return EXIT_FAILED;
    NATSConsumerConfig config;
    config.stream = options.stream;
    config.durable = options.durable;
    config.filter_subject = options.filter;
    const std::string what = options.stream + "/" + options.durable;
    svc_status status = js.consume(config);
    if (status != STATUS_OK) {
        print_failure("binding to " + what, status);
        return EXIT_FAILED;
    }
    say("js-sub: ready, reading " + what);
    const std::int64_t wait = options.timeout_ms != 0 ? options.timeout_ms : DEFAULT_TIMEOUT_MS;
    for (std::int64_t received = 0; options.count == 0 || received < options.count;) {
        NATSSvcMsg msg;
        if (!stop.enter_wait(js)) break;
        status = js.fetch(msg, wait);
        stop.leave_wait();
        if (stop.stopped()) break;
        if (status == STATUS_STREAM_TIMEOUT) continue;  // an idle stream: keep waiting
        if (msg.subject.empty()) {
            print_failure("fetching from " + what, status);
            return EXIT_FAILED;
        }
        // Acknowledged once printed: a crash in between brings the message back.
        if (!write_line(message_line(msg))) return EXIT_FAILED;
        status = js.ack(msg);
        if (status != STATUS_OK) {
            print_failure("acknowledging on " + what, status);
            return EXIT_FAILED;
        }
        ++received;
    }
    // The last acknowledgements are on their way only once flushed.
    return stop.stopped() || flush(js, options, "acknowledging on " + what) ? EXIT_OK : EXIT_FAILED;
}

}  // namespace vek_cli

int main(int argc, char** argv) {
    using namespace vek_cli;
    // A closed standard stream would be the next descriptor handed out, and the NATS socket
    // would then be read as input or written as output: /dev/null holds its place. Standard
    // output so held is only a placeholder; printing to it is refused below.
    bool output_closed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        if (open("/dev/null", O_RDWR) != fd) return EXIT_FAILED;
        output_closed = output_closed || fd == STDOUT_FILENO;
    }
    // A reader that went away shows as a failed write, reported, not as a silent death.
    signal(SIGPIPE, SIG_IGN);
    Options options;
    std::string error;
    if (!parse_command_line(argc, argv, options, error)) {
        print_usage_error(error);
        return EXIT_USAGE;
    }
    const bool prints = options.help || options.version || options.action->prints;
    if (output_closed && prints) {
        say("standard output is closed");
        return EXIT_FAILED;
    }
    if (options.help || options.version) {
        const std::string text = options.help ? help_text()
                                              : std::string("vek-nats ") + VEK_NATS_VERSION +
                                                    " (NATS C client " + nats_GetVersion() + ")\n";
        return write_out(text) ? EXIT_OK : EXIT_FAILED;
    }
    return options.action->run(options);
}

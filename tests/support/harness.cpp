#include "support/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

extern char** environ;

namespace vek_test {
namespace fs = std::filesystem;

bool isolated = false;

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    for (const auto end = std::chrono::steady_clock::now() + timeout; !pred();) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

namespace {
// Connects to a port on loopback, or for port 0 binds a free one: the port, or 0. A port so
// chosen stays bound (SO_REUSEADDR, never listening) while the program runs: a server may
// still listen on it, but no other test program's choice takes it, even between a server's
// stop and its restart.
int probe_port(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof(addr);
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    const bool ok = port != 0 ? connect(fd, sa, len) == 0
                              : bind(fd, sa, len) == 0 && getsockname(fd, sa, &len) == 0;
    if (port != 0 || !ok) close(fd);
    return ok ? ntohs(addr.sin_port) : 0;
}
}  // namespace

int free_port() {
    return probe_port(0);
}

std::string nats_server_binary() {
    const char* env = std::getenv("NATS_SERVER_BIN");
    return env != nullptr && *env != '\0' ? env : "/usr/sbin/nats-server";
}

std::string read_file(const std::string& path) {
    std::ifstream in(fs::is_regular_file(path) ? path : "", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Process::Process(const Strings& argv, const Strings& env, Streams streams) {
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "NATS_", 5) != 0) envp.push_back(*e);
    }
    args.push_back(nullptr);
    envp.push_back(nullptr);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return;
    std::signal(SIGPIPE, SIG_IGN);  // writing to a child that is gone must not end the test
    const pid_t parent = getpid();
    if ((m_pid = fork()) == 0) {  // async-signal-safe calls only, up to the exec
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        const int null = open("/dev/null", O_WRONLY);
        dup2(in[0], 0);
        dup2(streams == QUIET ? null : out[1], 1);
        dup2(streams == QUIET ? null : err[1], 2);
        if (streams == NO_STDIN) close(0);
        if (streams == NO_STDOUT) close(1);
        syscall(SYS_close_range, 3u, ~0u, 0u);
        std::signal(SIGPIPE, SIG_DFL);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    for (const int fd : {in[0], out[1], err[1]}) close(fd);
    m_in = in[1];
    m_out = out[0];
    m_err = err[0];
    for (const int fd : {m_out, m_err}) {
        fcntl(fd, F_SETFL, O_NONBLOCK);
        fcntl(fd, F_SETPIPE_SZ, 1 << 20);  // room for a chatty child between two reads
    }
}

Process::~Process() {
    signal(SIGKILL);
    reap(0);
    for (const int fd : {m_in, m_out, m_err}) close(fd);
}

void Process::signal(int sig) const {
    if (m_pid > 0) kill(m_pid, sig);
}

void Process::close_output() {
    pump();
    close(m_out);
    m_out = -1;
}

std::string Process::pumped(const std::string& text) const {
    pump();
    return text;
}

bool Process::reap(int options) {
    int status = 0;
    if (m_pid > 0 && waitpid(m_pid, &status, options) == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        m_pid = -m_pid;  // keeps the number for messages; no signal can reach a stranger
    }
    return m_pid <= 0;
}

bool Process::pump() const {
    bool ended = true;
    for (auto [fd, text] : {std::pair{m_out, &m_out_text}, std::pair{m_err, &m_err_text}}) {
        char buf[4096];
        ssize_t n = 0;
        while (fd >= 0 && (n = read(fd, buf, sizeof(buf))) > 0) text->append(buf, size_t(n));
        ended = ended && (fd < 0 || n == 0);
    }
    return ended;
}

void Process::input(const std::string& text) {
    if (write(m_in, text.data(), text.size()) < 0) std::perror("input");
}

int Process::finish(std::chrono::milliseconds timeout) {
    close(m_in);
    m_in = -1;
    const auto ended = [this] {
        pump();
        return exited();
    };
    if (!wait_until(ended, timeout)) {
        signal(SIGKILL);
        reap(0);
    }
    wait_until([this] { return pump(); }, 2s);  // what it wrote last, or a child of its still
    return m_status;
}

bool NatsServer::start() {
    if (m_proc != nullptr) return true;
    Strings args{nats_server_binary(), "-a", "127.0.0.1", "-p", std::to_string(m_port)};
    args.insert(args.end(), m_extra.begin(), m_extra.end());
    m_proc = std::make_unique<Process>(args, Strings{}, Process::QUIET);
    // A server that finds its port taken dies at start.
    wait_until([this] { return m_proc->exited() || probe_port(m_port) != 0; });
    if (m_proc->exited()) m_proc.reset();
    return m_proc != nullptr;
}

void NatsServer::stop() {
    if (m_proc == nullptr) return;
    m_proc->signal(SIGTERM);
    m_proc->finish(5s);
    m_proc.reset();
}

LogSandbox::LogSandbox() : m_cwd(fs::current_path().string()) {
    if (!isolated) return;  // the machine's log is never touched (isolate.cpp fails the tests)
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(LOG_ROOT, ec)) fs::remove_all(e.path(), ec);
    set_trace(false);
}

LogSandbox::~LogSandbox() {
    std::error_code ec;
    fs::current_path(m_cwd, ec);
    if (isolated) set_trace(false);
}

void LogSandbox::set_trace(bool on) const {
    std::error_code ec;
    if (!on) fs::remove(SWITCH_FILE, ec);
    if (on) std::ofstream{SWITCH_FILE};
}

Strings LogSandbox::messages() const {
    static const std::regex header(
        R"(^\d{2}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}:\d{6} \[pid-(\d{5,})\]\[tid-\d{5,}\] )");
    Strings result;
    std::istringstream in(old_text() + text());
    bool mine = false;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_search(line, m, header)) {
            mine = std::stol(m[1].str()) == getpid();
            if (mine) result.push_back(m.suffix().str());
        } else if (mine && !result.empty()) {
            result.back() += "\n" + line;
        }
    }
    return result;
}

size_t LogSandbox::count(const std::string& needle) const {
    const Strings all = messages();
    return std::count_if(all.begin(), all.end(),
                         [&](const std::string& m) { return m.find(needle) != std::string::npos; });
}

Strings LogSandbox::lines(const std::string& func) const {
    Strings rests;
    for (const std::string& m : messages()) {
        if (m.rfind(func + "(", 0) == 0 && m.find(')') != std::string::npos) {
            rests.push_back(m.substr(m.find(')') + 1));
        }
    }
    return rests;
}

}  // namespace vek_test

#include "support/log_sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

namespace vek_test {
namespace {

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void remove_tree(const std::string& path) {
    if (!exists(path)) return;
    const std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0) std::perror("rm -rf");
}

}  // namespace

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

LogSandbox::LogSandbox() {
    char cwd[4096] = {};
    if (getcwd(cwd, sizeof(cwd)) != nullptr) m_cwd = cwd;
    const std::string suffix = ".vek-test-saved." + std::to_string(getpid());
    if (exists(LOG_ROOT)) {
        m_saved_root = std::string(LOG_ROOT) + suffix;
        std::rename(LOG_ROOT, m_saved_root.c_str());
    }
    if (exists(SWITCH_FILE)) {
        m_saved_switch = std::string(SWITCH_FILE) + suffix;
        std::rename(SWITCH_FILE, m_saved_switch.c_str());
    }
    mkdir(LOG_ROOT, 0777);
}

LogSandbox::~LogSandbox() {
    if (!m_cwd.empty() && chdir(m_cwd.c_str()) != 0) std::perror("chdir");
    remove_tree(LOG_ROOT);
    std::remove(SWITCH_FILE);
    if (!m_saved_root.empty()) std::rename(m_saved_root.c_str(), LOG_ROOT);
    if (!m_saved_switch.empty()) std::rename(m_saved_switch.c_str(), SWITCH_FILE);
}

void LogSandbox::set_trace(bool on) {
    if (on) {
        std::FILE* f = std::fopen(SWITCH_FILE, "w");
        if (f != nullptr) std::fclose(f);
    } else {
        std::remove(SWITCH_FILE);
    }
}

void LogSandbox::remove_root() {
    if (!m_cwd.empty() && chdir(m_cwd.c_str()) != 0) std::perror("chdir");
    remove_tree(LOG_ROOT);
}

std::string LogSandbox::text() const { return read_file(LOG_FILE); }

std::string LogSandbox::old_text() const { return read_file(LOG_OLD); }

std::vector<std::string> LogSandbox::messages() const {
    static const std::regex header(
        R"(^\d{2}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}:\d{6} \[pid-(\d{5,})\]\[tid-\d{5,}\] )");
    const std::string own = std::to_string(getpid());
    std::vector<std::string> result;
    std::string all = read_file(LOG_OLD) + read_file(LOG_FILE);
    std::istringstream in(all);
    std::string line;
    bool mine = false;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_search(line, m, header)) {
            mine = std::to_string(std::stol(m[1].str())) == own;
            if (mine) result.push_back(m.suffix().str());
        } else if (mine && !result.empty()) {
            result.back() += "\n" + line;  // continuation line of a multi-line message
        }
    }
    return result;
}

bool LogSandbox::has(const std::string& needle) const { return count(needle) > 0; }

size_t LogSandbox::count(const std::string& needle) const {
    size_t n = 0;
    for (const std::string& m : messages()) {
        if (m.find(needle) != std::string::npos) ++n;
    }
    return n;
}

}  // namespace vek_test

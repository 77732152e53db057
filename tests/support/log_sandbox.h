#pragma once

#include <string>
#include <vector>

namespace vek_test {

inline constexpr const char* LOG_ROOT = "/Zdbglog";
inline constexpr const char* LOG_DIR = "/Zdbglog/.vek_nats_log";
inline constexpr const char* LOG_FILE = "/Zdbglog/.vek_nats_log/vek_nats_common_log";
inline constexpr const char* LOG_OLD = "/Zdbglog/.vek_nats_log/vek_nats_common_log.old";
inline constexpr const char* SWITCH_FILE = "/tmp/vek_nats_debug";

// Moves the real "/Zdbglog" and switch file aside for the life of the object and puts them
// back afterwards, together with the process's working directory (the log changes it).
// Starts with an empty "/Zdbglog" and tracing off.
class LogSandbox {
public:
    LogSandbox();
    ~LogSandbox();
    LogSandbox(const LogSandbox&) = delete;
    LogSandbox& operator=(const LogSandbox&) = delete;

    void set_trace(bool on);
    // Removes "/Zdbglog" itself, so the log cannot create its directory.
    void remove_root();

    // The live file's (or the ".old" file's) whole content; empty when missing.
    std::string text() const;
    std::string old_text() const;
    // Records of this process only (other processes may log at the same time), split at the
    // record headers, the header cut off: what the library passed as message.
    std::vector<std::string> messages() const;
    // True when one of this process's messages contains `needle`.
    bool has(const std::string& needle) const;
    // How many of this process's messages contain `needle`.
    size_t count(const std::string& needle) const;

private:
    std::string m_saved_root;
    std::string m_saved_switch;
    std::string m_cwd;
};

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace vek_test

#pragma once

// The message a log-contention writer sends, and its parser. The body is derived from the
// writer's identity, so a record that was cut or mixed with another cannot parse back.

#include <cstdio>
#include <string>

namespace vek_log_record {

inline std::string make(int proc, int thread, int seq, int size) {
    char head[64];
    std::snprintf(head, sizeof(head), "LW p=%d t=%d n=%06d |", proc, thread, seq);
    std::string message(head);
    const char fill = static_cast<char>('a' + (proc * 7 + thread * 3 + seq) % 26);
    const int body = size - static_cast<int>(message.size()) - 1;
    message.append(body > 0 ? static_cast<size_t>(body) : 0, fill);
    message.push_back('|');
    return message;
}

struct Parsed {
    int proc = -1;
    int thread = -1;
    int seq = -1;
};

// True when `message` is exactly a record that make() produced for some writer.
inline bool parse(const std::string& message, int size, Parsed& out) {
    Parsed p;
    if (std::sscanf(message.c_str(), "LW p=%d t=%d n=%d |", &p.proc, &p.thread, &p.seq) != 3) {
        return false;
    }
    if (make(p.proc, p.thread, p.seq, size) != message) return false;
    out = p;
    return true;
}

}  // namespace vek_log_record

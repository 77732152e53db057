#pragma once

#include <string>

namespace vek_nats::detail {

// Files named by a setting (seeds, credentials, certificates) are read with blocking reads, by
// us and by libnats: a FIFO or a device named there would hang connect for good, and an empty
// file or a directory would be taken for a credential that says nothing. Opened without
// blocking and judged by fstat: 0 when `path` names a non-empty regular file that this process
// can read; else an errno value: the open's own (ENOENT, EACCES, ENXIO for a socket, ...),
// EISDIR for a directory, EINVAL for a FIFO or device, ENODATA for an empty file.
int check_setting_file(const std::string& path);

// A result of check_setting_file in words, for error lines: "not a regular file", "empty", or
// the system's text of the errno value.
const char* setting_file_problem(int err);

}  // namespace vek_nats::detail

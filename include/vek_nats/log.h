#pragma once

#include <string>

#include "vek_nats/export.h"

namespace vek_nats {

// Appends one time-stamped record to "/Zdbglog/.vek_nats_log/vek_nats_common_log" (file_id 0)
// and rotates the file to ".old" once it grows past 1 MiB. A non-zero debug_only writes only
// while the switch file "/tmp/vek_nats_debug" exists. Never fails towards the caller: the
// result is always 0, trouble with the file goes to standard error.
// Note: a record that is written leaves the process's working directory in the log directory.
VEK_NATS_API int log_dump(int debug_only, int file_id, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The record header as log_dump writes it, followed by " func(line)".
VEK_NATS_API std::string log_hdr(const char* func, int line);

}  // namespace vek_nats

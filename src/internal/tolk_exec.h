#pragma once

// Stand-in for the platform utility that runs a program. The three leading arguments are
// accepted for call compatibility and ignored; the argument list after `program` ends with a
// null pointer. Returns 0 when the program succeeded, else a negative value with errno set.
namespace vek_nats::detail {

int tolk_exec(int, int, int, const char* program, ...);

}  // namespace vek_nats::detail

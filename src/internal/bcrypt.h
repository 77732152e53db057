#pragma once

// The three calls of libbcrypt, which this platform does not package, over libxcrypt's bcrypt.
// Each returns 0 on success. Buffers are 64 bytes as in libbcrypt; a bcrypt hash is 60
// characters, a salt ("setting") 29.

namespace vek_nats::detail {

inline constexpr int BCRYPT_BUFFER_SIZE = 64;

// A "$2b$" setting with the given work factor (4 to 31) and 16 bytes from the system CSPRNG.
int bcrypt_gensalt(int workfactor, char salt[BCRYPT_BUFFER_SIZE]);

// Hashes `passwd` (a C string; only its first 72 bytes count) with a "$2a$", "$2b$" or "$2y$"
// setting, or with a whole hash of those schemes, whose setting part is used.
int bcrypt_hashpw(const char* passwd, const char salt[BCRYPT_BUFFER_SIZE],
                  char hash[BCRYPT_BUFFER_SIZE]);

// 0 when `passwd` hashes to `hash` under hash's own setting; the comparison takes the same
// time wherever the first difference lies. `hash` is read up to its NUL or 64 bytes at most.
int bcrypt_checkpw(const char* passwd, const char hash[BCRYPT_BUFFER_SIZE]);

}  // namespace vek_nats::detail

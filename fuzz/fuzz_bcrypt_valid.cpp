// Feeds arbitrary password/hash pairs to bcrypt_valid: it must never crash, read out of
// bounds or accept anything but a well-formed bcrypt hash.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "internal/bcrypt.h"
#include "vek_nats/svc.h"

using vek_nats::CNATSSvc;

namespace {

// A real hash of cost 31 takes days; costs above 6 would only slow the search down.
bool too_costly(const std::string& hash) {
    if (hash.size() < 6 || hash[0] != '$' || hash[1] != '2' || hash[3] != '$') return false;
    if (hash[4] < '0' || hash[4] > '9' || hash[5] < '0' || hash[5] > '9') return false;
    return (hash[4] - '0') * 10 + (hash[5] - '0') > 6;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string password = in.ConsumeRandomLengthString(100);
    const std::string hash = in.ConsumeRemainingBytesAsString();
    if (too_costly(hash)) return 0;

    if (CNATSSvc::bcrypt_valid(password, hash)) {
        const char* h = hash.c_str();
        if (std::strlen(h) != 60 || std::strncmp(h, "$2", 2) != 0 || h[3] != '$') std::abort();
        if (h[2] != 'a' && h[2] != 'b' && h[2] != 'y') std::abort();
    }

    // A 64-byte buffer without a terminating NUL must not be read past its end.
    if (hash.size() >= vek_nats::detail::BCRYPT_BUFFER_SIZE) {
        auto exact = std::make_unique<char[]>(vek_nats::detail::BCRYPT_BUFFER_SIZE);
        std::memcpy(exact.get(), hash.data(), vek_nats::detail::BCRYPT_BUFFER_SIZE);
        vek_nats::detail::bcrypt_checkpw(password.c_str(), exact.get());
    }
    return 0;
}

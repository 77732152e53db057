#include "internal/bcrypt.h"

#include <crypt.h>
#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

namespace vek_nats::detail {

namespace {

constexpr std::size_t SALT_BYTES = 16;
// Blowfish's key schedule takes 72 bytes. Longer phrases are cut here because libxcrypt
// refuses phrases of more than 512 bytes, where libbcrypt simply ignores the tail.
constexpr std::size_t KEY_BYTES = 72;

bool fill_random(unsigned char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = getrandom(out + done, size - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// libxcrypt would happily run SHA-512, MD5 or DES for other settings; bcrypt alone is asked for.
// "$2x$" (the compatibility mode for hashes of an old sign-extension bug) is refused as well.
bool is_bcrypt_setting(const char* setting) {
    return setting[0] == '$' && setting[1] == '2' &&
           (setting[2] == 'a' || setting[2] == 'b' || setting[2] == 'y') && setting[3] == '$';
}

}  // namespace

int bcrypt_gensalt(int workfactor, char salt[BCRYPT_BUFFER_SIZE]) {
    // libxcrypt reads count 0 as "its default", which is not what a caller asking for 0 means.
    if (workfactor < 4 || workfactor > 31) return -1;
    unsigned char random[SALT_BYTES];
    if (!fill_random(random, sizeof random)) return -1;
    char out[CRYPT_GENSALT_OUTPUT_SIZE];
    const char* setting =
        crypt_gensalt_rn("$2b$", static_cast<unsigned long>(workfactor),
                         reinterpret_cast<const char*>(random), sizeof random, out, sizeof out);
    explicit_bzero(random, sizeof random);
    if (setting == nullptr || setting[0] == '*') return -1;
    std::size_t len = std::strlen(setting);
    if (len >= BCRYPT_BUFFER_SIZE) return -1;
    std::memcpy(salt, setting, len + 1);
    return 0;
}

int bcrypt_hashpw(const char* passwd, const char salt[BCRYPT_BUFFER_SIZE],
                  char hash[BCRYPT_BUFFER_SIZE]) {
    if (passwd == nullptr || salt == nullptr || hash == nullptr) return -1;
    if (strnlen(salt, BCRYPT_BUFFER_SIZE) == BCRYPT_BUFFER_SIZE) return -1;
    if (!is_bcrypt_setting(salt)) return -1;

    char key[KEY_BYTES + 1];
    std::size_t key_len = strnlen(passwd, KEY_BYTES);
    std::memcpy(key, passwd, key_len);
    key[key_len] = '\0';

    // crypt_data is 32 KiB: too large for the stack of a caller's thread. Zeroed as required.
    auto data = std::make_unique<crypt_data>();
    const char* out = crypt_rn(key, salt, data.get(), sizeof(crypt_data));
    int rc = -1;
    if (out != nullptr && out[0] == '$' && out[1] == '2') {
        std::size_t len = std::strlen(out);
        if (len < BCRYPT_BUFFER_SIZE) {
            std::memcpy(hash, out, len + 1);
            rc = 0;
        }
    }
    explicit_bzero(key, sizeof key);
    explicit_bzero(data.get(), sizeof(crypt_data));
    return rc;
}

int bcrypt_checkpw(const char* passwd, const char hash[BCRYPT_BUFFER_SIZE]) {
    if (passwd == nullptr || hash == nullptr) return -1;
    char computed[BCRYPT_BUFFER_SIZE];
    if (bcrypt_hashpw(passwd, hash, computed) != 0) return -1;

    // No early exit: the time taken must not tell how many leading characters matched.
    std::size_t stored_len = strnlen(hash, BCRYPT_BUFFER_SIZE);
    std::size_t computed_len = std::strlen(computed);
    unsigned diff = stored_len != computed_len ? 1U : 0U;
    for (std::size_t i = 0; i < computed_len; ++i) {
        unsigned char stored = i < stored_len ? static_cast<unsigned char>(hash[i]) : 0;
        diff |= static_cast<unsigned>(stored ^ static_cast<unsigned char>(computed[i]));
    }
    explicit_bzero(computed, sizeof computed);
    return diff == 0 ? 0 : -1;
}

}  // namespace vek_nats::detail

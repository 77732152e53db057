#include <stdexcept>

#include "internal/bcrypt.h"
#include "vek_nats/svc.h"

namespace vek_nats {

std::string CNATSSvc::bcrypt(const std::string& password, std::int32_t /*unused*/) {
    // The cost is fixed so that no caller can weaken stored hashes by passing a small number.
    constexpr int WORK_FACTOR = 12;
    char salt[detail::BCRYPT_BUFFER_SIZE];
    if (detail::bcrypt_gensalt(WORK_FACTOR, salt) != 0) {
        throw std::runtime_error("bcrypt: can not generate salt");
    }
    char hash[detail::BCRYPT_BUFFER_SIZE];
    if (detail::bcrypt_hashpw(password.c_str(), salt, hash) != 0) {
        throw std::runtime_error("bcrypt: can not generate hash");
    }
    return std::string(hash);
}

bool CNATSSvc::bcrypt_valid(const std::string& password, const std::string& hash) {
    // A check runs 2^cost rounds at the cost the stored hash names: cost 16 takes seconds,
    // cost 31 about a day. A hash above the cap is refused unchecked.
    constexpr int MAX_COST = 16;
    if (hash.size() > 6 && hash[0] == '$' && hash[3] == '$' && hash[6] == '$') {
        const int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
        if (cost > MAX_COST) return false;
    }
    return detail::bcrypt_checkpw(password.c_str(), hash.c_str()) == 0;
}

}  // namespace vek_nats

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vek_nats/export.h"
#include "vek_nats/status.h"

namespace vek_nats {

// The kinds of work the library offers, by name.
enum EAct : std::int32_t {
    EAct_none = 0,
    EAct_pub = 1,
    EAct_sub = 2,
    EAct_request = 3,
    EAct_reply = 4,
    EAct_bcrypt = 5,
    EAct_bcrypt_valid = 6,
};

// True when the strings are equal ignoring case. An empty `first` matches anything.
VEK_NATS_API bool case_insensitive_match(const std::string& first, const std::string& second);

// "pub", "sub", ...; "none" for 0 and for any value outside 1 to 6.
VEK_NATS_API const char* conv_EAct_to_string(EAct value);

// The value whose name matches `text` ignoring case (an empty text gives EAct_pub); 0 when none.
VEK_NATS_API EAct conv_string_to_EAct(const std::string& text);

// True when the whole text, surrounded by optional white space, reads as one decimal number.
VEK_NATS_API bool is_digit(const std::string& text);

// Appends the non-empty tokens of `text`, split at newlines and at any of `separators`, to
// `tokens` (not cleared first). Returns 0, or STATUS_NO_TOKEN when `tokens` is empty at the end.
VEK_NATS_API svc_status split_string_to_tokens(const std::string& text,
                                               const std::string& separators,
                                               std::vector<std::string>& tokens);

}  // namespace vek_nats

#include "vek_nats/text.h"

#include <cctype>
#include <sstream>

namespace vek_nats {

bool case_insensitive_match(const std::string& first, const std::string& second) {
    // Deliberately asymmetric: an empty first string matches anything, which is why an empty
    // action name reads as the first name compared, "pub".
    if (first.empty()) return true;
    if (first.size() != second.size()) return false;
    for (std::size_t i = 0; i < first.size(); ++i) {
        // Signed char widened as is: glibc's tolower takes -128..255, and in the default
        // locale leaves bytes 0x80 and above untouched, so they must match exactly.
        if (std::tolower(static_cast<int>(first[i])) != std::tolower(static_cast<int>(second[i]))) {
            return false;
        }
    }
    return true;
}

const char* conv_EAct_to_string(EAct value) {
    switch (value) {
        case EAct_pub:
            return "pub";
        case EAct_sub:
            return "sub";
        case EAct_request:
            return "request";
        case EAct_reply:
            return "reply";
        case EAct_bcrypt:
            return "bcrypt";
        case EAct_bcrypt_valid:
            return "bcrypt_valid";
        default:
            return "none";
    }
}

EAct conv_string_to_EAct(const std::string& text) {
    // "none" is not listed: it gives EAct_none only because nothing else matches.
    static constexpr EAct named[] = {EAct_pub,   EAct_sub,    EAct_request,
                                     EAct_reply, EAct_bcrypt, EAct_bcrypt_valid};
    for (EAct value : named) {
        if (case_insensitive_match(text, conv_EAct_to_string(value))) return value;
    }
    return EAct_none;
}

bool is_digit(const std::string& text) {
    std::stringstream stream(text, std::ios_base::in | std::ios_base::out);
    double number = 0.0;
    if (!(stream >> number)) return false;
    char rest = 0;
    return !(stream >> rest);
}

svc_status split_string_to_tokens(const std::string& text, const std::string& separators,
                                  std::vector<std::string>& tokens) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::string::size_type pos = 0;
        while (pos < line.size()) {
            std::string::size_type next = line.find_first_of(separators, pos);
            if (next == std::string::npos) {
                tokens.push_back(line.substr(pos));
                break;
            }
            if (next > pos) tokens.push_back(line.substr(pos, next - pos));
            pos = next + 1;
        }
    }
    return tokens.empty() ? STATUS_NO_TOKEN : 0;
}

}  // namespace vek_nats

// Feeds arbitrary bytes to the text helpers and checks what must hold for any input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "vek_nats/text.h"

using namespace vek_nats;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void check_match(const std::string& a, const std::string& b) {
    check(case_insensitive_match(a, a));
    bool ab = case_insensitive_match(a, b);
    if (a.empty()) check(ab);
    if (!a.empty() && !b.empty()) check(ab == case_insensitive_match(b, a));
    if (ab && !a.empty()) check(a.size() == b.size());
}

void check_actions(const std::string& text, std::int32_t raw) {
    EAct act = conv_string_to_EAct(text);
    check(act >= EAct_none && act <= EAct_bcrypt_valid);
    if (act != EAct_none) check(case_insensitive_match(text, conv_EAct_to_string(act)));
    const char* name = conv_EAct_to_string(static_cast<EAct>(raw));
    check(name != nullptr);
    if (raw < 1 || raw > 6) check(std::string(name) == "none");
}

void check_number(const std::string& text) {
    // White space around the text changes nothing: it is skipped before and allowed after.
    bool plain = is_digit(text);
    check(plain == is_digit(" \t" + text + "\n "));
}

void check_split(const std::string& text, const std::string& separators, bool prefilled) {
    std::vector<std::string> tokens;
    if (prefilled) tokens.push_back("kept");
    const std::size_t before = tokens.size();
    svc_status status = split_string_to_tokens(text, separators, tokens);
    check(status == (tokens.empty() ? STATUS_NO_TOKEN : 0u));
    if (prefilled) check(tokens[0] == "kept");

    // Tokens hold exactly the characters that separate nothing, in their order in the text.
    std::string kept_chars;
    for (char c : text) {
        if (c != '\n' && separators.find(c) == std::string::npos) kept_chars += c;
    }
    std::string joined;
    std::size_t from = 0;
    for (std::size_t i = before; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        check(!token.empty());
        check(token.find('\n') == std::string::npos);
        check(token.find_first_of(separators) == std::string::npos);
        std::size_t at = text.find(token, from);
        check(at != std::string::npos);
        from = at + token.size();
        joined += token;
    }
    check(joined == kept_chars);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string separators = in.ConsumeRandomLengthString(8);
    const std::string first = in.ConsumeRandomLengthString(64);
    const bool prefilled = in.ConsumeBool();
    const std::int32_t raw = in.ConsumeIntegral<std::int32_t>();
    const std::string text = in.ConsumeRemainingBytesAsString();

    check_match(first, text);
    check_actions(text, raw);
    check_actions(first, raw);
    check_number(text);
    check_number(first);
    check_split(text, separators, prefilled);
    return 0;
}

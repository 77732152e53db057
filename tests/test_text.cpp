// Text helpers: the edge cases of each function (fuzz/ covers the properties). bcrypt: the
// layer over libxcrypt, CNATSSvc's two calls.
#include <gtest/gtest.h>

#include <regex>

#include "internal/bcrypt.h"
#include "support/harness.h"

using namespace vek_nats;
using namespace std::string_literals;
using vek_test::Strings;

// An empty first string matches anything; bytes that tolower leaves alone must be equal. Action
// names read so, both ways: an empty name is the first compared, "pub"; unknown values are none.
TEST(Text, CaseInsensitiveMatchAndActionNames) {
    const struct {
        std::string first, second;
        bool match;
    } rows[] = {{"", "abc", true},      {"Abc", "aBC", true}, {"abc", "abd", false},
                {"abc", "abcd", false}, {"@", "`", false},    {"\xC4", "\xE4", false}};
    for (const auto& r : rows)
        EXPECT_EQ(case_insensitive_match(r.first, r.second), r.match) << r.first << "|" << r.second;
    const char* const names[] = {"none",  "pub",    "sub",         "request",
                                 "reply", "bcrypt", "bcrypt_valid"};
    for (int v = 0; v < 7; ++v) EXPECT_STREQ(conv_EAct_to_string(EAct(v)), names[v]);
    for (int v = 0; v < 7; ++v) EXPECT_EQ(conv_string_to_EAct(names[v]), v) << names[v];
    EXPECT_EQ(conv_string_to_EAct(""), EAct_pub);
    EXPECT_EQ(conv_string_to_EAct("publish"), EAct_none);
}

// A number with nothing after it but blanks.
TEST(Text, IsDigit) {
    const struct {
        const char* text;
        bool number;
    } rows[] = {{" -3.5 ", true}, {"", false}, {"12abc", false}};
    for (const auto& r : rows) EXPECT_EQ(is_digit(r.text), r.number) << r.text;
}

// Tokens are appended to what the vector holds; a vector still empty at the end is a status.
TEST(Text, SplitStringToTokens) {
    const struct {
        std::string text, separators;
        Strings held, after;
        svc_status status;
    } rows[] = {{"a,,b;c", ",;", {}, {"a", "b", "c"}, 0},
                {"a b\nc", " ", {"x"}, {"x", "a", "b", "c"}, 0},
                {",,,", ",", {}, {}, STATUS_NO_TOKEN},
                {",,,", ",", {"x"}, {"x"}, 0},
                {"ab\n\nc d\r\n", "", {}, {"ab", "c d\r"}, 0}};
    for (const auto& r : rows) {
        Strings tokens = r.held;
        EXPECT_EQ(split_string_to_tokens(r.text, r.separators, tokens), r.status) << r.text;
        EXPECT_EQ(tokens, r.after) << r.text;
    }
}

namespace {

// "abc" at cost 6, from the published vectors.
const std::string ABC = "$2a$06$If6bvum7DFjUnE9p2uDeDu0YHzrHM6tf.iqN8.yx.jNN1ILEf7h0i";

}  // namespace

// Cost 12 whatever the integer, a fresh salt each time, the password up to its first zero byte;
// the hash matches that password and no other. The layer makes salts of costs 4 to 31 only.
TEST(Bcrypt, HashesMatchTheirPasswordOnly) {
    char salt[detail::BCRYPT_BUFFER_SIZE];
    for (const int cost : {4, 31}) EXPECT_EQ(detail::bcrypt_gensalt(cost, salt), 0) << cost;
    for (const int cost : {3, 32}) EXPECT_EQ(detail::bcrypt_gensalt(cost, salt), -1) << cost;
    const std::string x = CNATSSvc::bcrypt("horse\0staple"s, 0), y = CNATSSvc::bcrypt("horse", 31);
    EXPECT_NE(x, y);
    for (const std::string& hash : {x, y}) {
        EXPECT_TRUE(std::regex_match(hash, std::regex("\\$2b\\$12\\$[./A-Za-z0-9]{53}"))) << hash;
        EXPECT_TRUE(CNATSSvc::bcrypt_valid("horse", hash));
        EXPECT_FALSE(CNATSSvc::bcrypt_valid("horsestaple", hash));
    }
}

// Only well-formed bcrypt hashes of cost 16 at most are checked; the rest is refused unchecked.
TEST(Bcrypt, ValidRefusesMalformedTooCostlyAndOtherSchemes) {
    EXPECT_TRUE(CNATSSvc::bcrypt_valid(
        "abc", "$2b$16$M0ZdOD2pHs/htHS7v6jHd.ptqm4GWqc/eu4me8afMi5sbRGvp8nIy"));
    const Strings refused{
        // genuine hashes of "abc": cost 17, DES and the $2x$ compatibility mode
        "$2b$17$M0Dn7GlnI95Tz4ye6RSGwOSz5r01r3oEbC.iPZOmMlzEffmhM1CwS", "abFZSxKKdq5s6",
        "$2x$04$abcdefghijklmnopqrstuuCi15uRb1eH7NAlJ/TgeJertyknQpYn2",
        // "abc"'s hash spoilt
        "", ABC.substr(0, 59), ABC + "x", "$3a" + ABC.substr(3), std::string(10000, '$'),
        // cost 3, below what libxcrypt computes: it returns no hash at all
        "$2a$03" + ABC.substr(6)};
    for (const std::string& hash : refused) {
        EXPECT_FALSE(CNATSSvc::bcrypt_valid("abc", hash)) << hash.substr(0, 64);
    }
    // 64 bytes without a zero byte: refused, and an over-read shows under AddressSanitizer.
    std::vector<char> unterminated(ABC.begin(), ABC.end());
    unterminated.resize(detail::BCRYPT_BUFFER_SIZE, 'x');
    EXPECT_NE(detail::bcrypt_checkpw("abc", unterminated.data()), 0);
}

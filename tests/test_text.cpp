// Text helpers: one edge-case table per function (fuzz/ covers the properties). bcrypt: the
// layer over libxcrypt, CNATSSvc's two calls, published vectors, htpasswd interop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "internal/bcrypt.h"
#include "support/harness.h"

using namespace vek_nats;
using namespace std::string_literals;
using Strings = std::vector<std::string>;

// Action names are matched without regard to ASCII case.
TEST(Text, CaseInsensitiveMatchAndActionNames) {
    const std::vector<std::tuple<std::string, std::string, bool>> rows{
        {"", "abc", 1},  {"", "", 1},         {"abc", "", 0},        {"Abc", "aBC", 1},
        {"@", "`", 0},   {"[", "{", 0},       {"abc", "abcd", 0},    {"abcd", "abc", 0},
        {"ab", "ac", 0}, {"\xC4", "\xE4", 0}, {"\xC4x", "\xC4X", 1}, {"a\0b"s, "A\0B"s, 1}};
    for (const auto& [a, b, match] : rows) EXPECT_EQ(case_insensitive_match(a, b), match) << a;
    const Strings names{"none", "pub", "sub", "request", "reply", "bcrypt", "bcrypt_valid", "none"};
    for (int v = -1; v < 8; ++v) EXPECT_EQ(conv_EAct_to_string(EAct(v)), names[v < 0 ? 0 : v]);
    const std::vector<std::pair<std::string, int>> texts{
        {"PUB", 1}, {"sub", 2},  {"Request", 3}, {"reply", 4}, {"bcrypt", 5}, {"BCRYPT_VALID", 6},
        {"", 1},    {"none", 0}, {"publish", 0}, {" pub", 0},  {"pub ", 0},   {"bcryp", 0}};
    for (const auto& [text, v] : texts) EXPECT_EQ(conv_string_to_EAct(text), v) << text;
}

TEST(Text, IsDigit) {
    const Strings numbers{"42", " -3.5 ", "+7", ".5", "5.", "1E-7", "\t\n 2.5e+10 \r\v\f", "1e300"};
    for (const std::string& text : numbers) EXPECT_TRUE(is_digit(text)) << text;
    for (const std::string& text :
         Strings{"", " ", "12abc", "1 2", "0x1A", "-", ".", "1e+", "1.2.3", "+-1", "e5", "inf",
                 "nan", "1,5", "1\0"s, "1e400"}) {
        EXPECT_FALSE(is_digit(text)) << text;
    }
}

// Tokens are appended to what the vector holds; none at all is a status.
TEST(Text, SplitStringToTokens) {
    Strings none;
    EXPECT_EQ(split_string_to_tokens("\n\n", "", none), STATUS_NO_TOKEN);
    const std::vector<std::tuple<std::string, std::string, Strings>> rows{
        {";;a,,b;c;", ",;", {"a", "b", "c"}}, {"\n\nx\n\n y \n", " ", {"x", "y"}},
        {"a b\n\nc,d", "", {"a b", "c,d"}},   {"a\r\nb\r\n", " ", {"a\r", "b\r"}},
        {"a\0b,c"s, "\0"s, {"a", "b,c"}},     {",,,", ",", {}}};
    for (auto [text, separators, tokens] : rows) {
        Strings got{"kept"};
        EXPECT_EQ(split_string_to_tokens(text, separators, got), 0);
        tokens.insert(tokens.begin(), "kept");
        EXPECT_EQ(got, tokens) << text;
    }
}

namespace {

constexpr int BUF = detail::BCRYPT_BUFFER_SIZE;
const char* const COST4 = "$2b$04$abcdefghijklmnopqrstuu";  // quick hashes for checking
const std::string ABC = "$2a$06$If6bvum7DFjUnE9p2uDeDu0YHzrHM6tf.iqN8.yx.jNN1ILEf7h0i";  // "abc"

std::string hash_with(const std::string& password, const char* salt) {
    char hash[BUF];
    return detail::bcrypt_hashpw(password.c_str(), salt, hash) == 0 ? hash : "";
}

}  // namespace

// Fresh $2b$ settings of cost 4 to 31 only; whole hashes, reading no further than the buffer.
TEST(Bcrypt, GensaltHashpwAndHash) {
    char a[BUF], b[BUF];
    for (int cost : {-1, 0, 3, 32, 1000}) EXPECT_NE(detail::bcrypt_gensalt(cost, a), 0) << cost;
    for (const std::string cost : {"04", "12", "31"}) {
        ASSERT_EQ(detail::bcrypt_gensalt(std::stoi(cost), a) | detail::bcrypt_gensalt(4, b), 0);
        EXPECT_TRUE(std::regex_match(a, std::regex("\\$2b\\$" + cost + "\\$[./A-Za-z0-9]{22}")));
        EXPECT_STRNE(a + 7, b + 7);
    }
    const std::string hash = hash_with("pw", COST4);
    EXPECT_EQ(hash.substr(0, 29) + std::to_string(hash.size()), COST4 + "60"s);
    EXPECT_TRUE(hash_with("pw", hash.c_str()) == hash && hash_with("pW", hash.c_str()) != hash);
    char out[BUF];
    EXPECT_NE(detail::bcrypt_hashpw(nullptr, COST4, out), 0);
    // 64 bytes without a NUL: an over-read shows under AddressSanitizer.
    std::vector<char> unterminated(hash.begin(), hash.end());
    unterminated.resize(BUF, 'x');
    EXPECT_NE(detail::bcrypt_hashpw("pw", unterminated.data(), out), 0);
    EXPECT_NE(detail::bcrypt_checkpw("pw", unterminated.data()), 0);
    // CNATSSvc::bcrypt: cost 12 whatever the integer, fresh salts, up to the first zero byte.
    const std::string x = CNATSSvc::bcrypt("horse\0staple"s, 0), y = CNATSSvc::bcrypt("horse", 31);
    EXPECT_TRUE(x != y && std::regex_match(x + y, std::regex("(\\$2b\\$12\\$.{53}){2}"))) << x + y;
    for (const std::string& h : {x, y})
        EXPECT_TRUE(CNATSSvc::bcrypt_valid("horse", h) &&
                    !CNATSSvc::bcrypt_valid("horsestaple", h));
}

TEST(BcryptValid, RefusesMalformedTooCostlyAndOtherSchemesAndChecksTheFirst72Bytes) {
    // Cost 16 is the highest checked (seconds); a genuine hash of cost 17 is refused unchecked.
    EXPECT_TRUE(CNATSSvc::bcrypt_valid(
        "abc", "$2b$16$M0ZdOD2pHs/htHS7v6jHd.ptqm4GWqc/eu4me8afMi5sbRGvp8nIy"));
    std::string bad_char = ABC;
    bad_char[40] = '!';
    const Strings refused{"$2b$17$M0Dn7GlnI95Tz4ye6RSGwOSz5r01r3oEbC.iPZOmMlzEffmhM1CwS", "",
                          ABC.substr(0, 59), ABC + "x", "$2a$07" + ABC.substr(6), bad_char,
                          "$2a$6$" + ABC.substr(7), "$2a$06\0"s + ABC.substr(7),
                          "$2a$03" + ABC.substr(6), "$2a$32" + ABC.substr(6), "$2c" + ABC.substr(3),
                          "$2b$", std::string(10000, '$'), "$y$j9T$saltsaltsalt$",
                          // genuine hashes of "abc" under other schemes
                          "$6$saltsalt$mXmsbOzRhx9FdAbQCUHYMV8i33aUx8FUsjR813r/Te3OU"
                          "wcAdbwkebLKfLOfUCihpvpN7Ji1TH3bltSG02PNE1",
                          "$1$saltsalt$7fq7ZEc75157blrz18yX./", "abFZSxKKdq5s6",
                          "$2x$04$abcdefghijklmnopqrstuuCi15uRb1eH7NAlJ/TgeJertyknQpYn2"};
    for (const std::string& hash : refused) {
        EXPECT_FALSE(CNATSSvc::bcrypt_valid("abc", hash)) << hash.substr(0, 64);
    }
    const std::string huge(10000, 'p'), p72 = hash_with(std::string(72, 'p'), COST4);
    EXPECT_TRUE(CNATSSvc::bcrypt_valid(huge, p72) &&
                !CNATSSvc::bcrypt_valid(huge.substr(1, 71), p72));
    EXPECT_FALSE(CNATSSvc::bcrypt_valid(huge, ABC) || CNATSSvc::bcrypt_valid(huge, huge));
}

TEST(BcryptValid, PublishedVectorsAndNothingNearThem) {
    std::ifstream in(VEK_TEST_DATA_DIR "/bcrypt_vectors.txt");
    ASSERT_TRUE(in.is_open());
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::string hash = line.substr(0, line.find('\t'));
        std::string password = line.substr(hash.size() + 1);  // \xNN is a byte
        for (size_t x; (x = password.find("\\x")) != std::string::npos;) {
            password.replace(x, 4, 1, char(std::stoi(password.substr(x + 2, 2), nullptr, 16)));
        }
        EXPECT_TRUE(CNATSSvc::bcrypt_valid(password, hash)) << hash;
        EXPECT_TRUE(password.size() >= 72 || !CNATSSvc::bcrypt_valid(password + "x", hash));
    }
}

TEST(BcryptValid, AcceptsHtpasswd2yHashes) {
    if (access("/usr/bin/htpasswd", X_OK) != 0) GTEST_SKIP() << "htpasswd (apache2-utils) missing";
    vek_test::Process made({"/usr/bin/htpasswd", "-nbB", "-C", "4", "alice", "s3cret pass"});
    ASSERT_EQ(made.finish(), 0);
    const std::string line = made.out().substr(0, made.out().find('\n')), hash = line.substr(6);
    EXPECT_EQ(line.substr(0, 13), "alice:$2y$04$");
    EXPECT_TRUE(CNATSSvc::bcrypt_valid("s3cret pass", hash) &&
                !CNATSSvc::bcrypt_valid("s3cret pas", hash));
}

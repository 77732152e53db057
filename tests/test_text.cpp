#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "vek_nats/text.h"

using namespace vek_nats;
using Tokens = std::vector<std::string>;

namespace {

std::string bytes(const char* data, std::size_t size) {
    return std::string(data, size);
}

}  // namespace

// ---- case_insensitive_match ----

TEST(CaseInsensitiveMatch, EmptyFirstStringMatchesAnything) {
    EXPECT_TRUE(case_insensitive_match("", "abc"));
    EXPECT_TRUE(case_insensitive_match("", ""));
    EXPECT_TRUE(case_insensitive_match("", std::string(1000, 'x')));
}

TEST(CaseInsensitiveMatch, EmptySecondStringMatchesOnlyEmptyFirst) {
    EXPECT_FALSE(case_insensitive_match("abc", ""));
    EXPECT_FALSE(case_insensitive_match(" ", ""));
}

TEST(CaseInsensitiveMatch, IgnoresAsciiCaseOnly) {
    EXPECT_TRUE(case_insensitive_match("Abc", "aBC"));
    EXPECT_TRUE(case_insensitive_match("BCRYPT_VALID", "bcrypt_valid"));
    EXPECT_TRUE(case_insensitive_match("a1-!", "A1-!"));
    EXPECT_FALSE(case_insensitive_match("abc", "abd"));
    // '@' and '`' sit 0x20 apart like 'A' and 'a', but are not letters.
    EXPECT_FALSE(case_insensitive_match("@", "`"));
    EXPECT_FALSE(case_insensitive_match("[", "{"));
}

TEST(CaseInsensitiveMatch, DifferentLengthsNeverMatch) {
    EXPECT_FALSE(case_insensitive_match("abc", "abcd"));
    EXPECT_FALSE(case_insensitive_match("abcd", "abc"));
    EXPECT_FALSE(case_insensitive_match("abc", bytes("abc\0", 4)));
}

TEST(CaseInsensitiveMatch, BytesAboveAsciiMatchExactly) {
    // Latin-1 'Ä' and 'ä': the default locale does not fold them.
    EXPECT_FALSE(case_insensitive_match("\xC4", "\xE4"));
    EXPECT_TRUE(case_insensitive_match("\xC4x", "\xC4X"));
    EXPECT_TRUE(case_insensitive_match("\xFF", "\xFF"));
    EXPECT_FALSE(case_insensitive_match("\xFF", "\xFE"));
    EXPECT_TRUE(case_insensitive_match(bytes("a\0b", 3), bytes("A\0B", 3)));
}

// ---- conv_EAct_to_string / conv_string_to_EAct ----

TEST(ConvEActToString, NamesEveryAction) {
    EXPECT_STREQ(conv_EAct_to_string(EAct_none), "none");
    EXPECT_STREQ(conv_EAct_to_string(EAct_pub), "pub");
    EXPECT_STREQ(conv_EAct_to_string(EAct_sub), "sub");
    EXPECT_STREQ(conv_EAct_to_string(EAct_request), "request");
    EXPECT_STREQ(conv_EAct_to_string(EAct_reply), "reply");
    EXPECT_STREQ(conv_EAct_to_string(EAct_bcrypt), "bcrypt");
    EXPECT_STREQ(conv_EAct_to_string(EAct_bcrypt_valid), "bcrypt_valid");
}

TEST(ConvEActToString, OutOfRangeValuesAreNone) {
    for (int v : {7, -1, 100, INT_MAX, INT_MIN}) {
        EXPECT_STREQ(conv_EAct_to_string(static_cast<EAct>(v)), "none") << v;
    }
}

TEST(ConvEActToString, NamesAreStaticStrings) {
    // Callers keep the pointer; it must not be a temporary.
    const char* first = conv_EAct_to_string(EAct_request);
    EXPECT_EQ(first, conv_EAct_to_string(EAct_request));
}

TEST(ConvStringToEAct, RoundTripsEveryName) {
    for (int v = 1; v <= 6; ++v) {
        EAct value = static_cast<EAct>(v);
        EXPECT_EQ(conv_string_to_EAct(conv_EAct_to_string(value)), value) << v;
    }
}

TEST(ConvStringToEAct, IgnoresCase) {
    EXPECT_EQ(conv_string_to_EAct("PUB"), EAct_pub);
    EXPECT_EQ(conv_string_to_EAct("Request"), EAct_request);
    EXPECT_EQ(conv_string_to_EAct("Reply"), EAct_reply);
    EXPECT_EQ(conv_string_to_EAct("BCRYPT_VALID"), EAct_bcrypt_valid);
}

TEST(ConvStringToEAct, UnknownOrDecoratedNamesAreNone) {
    EXPECT_EQ(conv_string_to_EAct("none"), EAct_none);
    EXPECT_EQ(conv_string_to_EAct("publish"), EAct_none);
    EXPECT_EQ(conv_string_to_EAct(" pub"), EAct_none);
    EXPECT_EQ(conv_string_to_EAct("pub "), EAct_none);
    EXPECT_EQ(conv_string_to_EAct("bcrypt_"), EAct_none);
    EXPECT_EQ(conv_string_to_EAct("bcryp"), EAct_none);
}

TEST(ConvStringToEAct, EmptyTextIsPub) {
    EXPECT_EQ(conv_string_to_EAct(""), EAct_pub);
}

// ---- is_digit ----

TEST(IsDigit, AcceptsDecimalNumbersWithSurroundingWhiteSpace) {
    for (const char* text : {"42", " 42 ", "-3.5", "+7", "1e3", ".5", "5.", "0", "-0.0", "1E-7",
                             "\t\n 2.5e+10 \r\v\f", "007", "123456789012345678901234567890"}) {
        EXPECT_TRUE(is_digit(text)) << '"' << text << '"';
    }
}

TEST(IsDigit, RejectsEverythingElse) {
    for (const char* text :
         {"",    "   ",   "12abc", "1 2", "0x1A", "abc", "-",   "+",   ".",   "1e",
          "1e+", "1.2.3", "--1",   "+-1", "- 1",  "e5",  "inf", "nan", "1,5", "1e5e"}) {
        EXPECT_FALSE(is_digit(text)) << '"' << text << '"';
    }
    EXPECT_FALSE(is_digit(bytes("1\0", 2)));
    EXPECT_FALSE(
        is_digit(bytes("\0"
                       "1",
                       2)));
}

TEST(IsDigit, RejectsNumbersOutsideTheRangeOfDouble) {
    // The stream refuses to extract a value it cannot represent.
    EXPECT_FALSE(is_digit("1e400"));
    EXPECT_FALSE(is_digit("-1e400"));
    EXPECT_TRUE(is_digit("1e300"));
}

// ---- split_string_to_tokens ----

TEST(SplitStringToTokens, SplitsAtAnySeparatorAndDropsEmptyTokens) {
    Tokens tokens;
    EXPECT_EQ(split_string_to_tokens("a,,b;c", ",;", tokens), 0u);
    EXPECT_EQ(tokens, (Tokens{"a", "b", "c"}));

    tokens.clear();
    EXPECT_EQ(split_string_to_tokens(";;first;;second,;", ",;", tokens), 0u);
    EXPECT_EQ(tokens, (Tokens{"first", "second"}));
}

TEST(SplitStringToTokens, NewlineAlwaysSeparates) {
    Tokens tokens;
    EXPECT_EQ(split_string_to_tokens("a b\nc", " ", tokens), 0u);
    EXPECT_EQ(tokens, (Tokens{"a", "b", "c"}));

    tokens.clear();
    EXPECT_EQ(split_string_to_tokens("\n\nx\n\n y \n", " ", tokens), 0u);
    EXPECT_EQ(tokens, (Tokens{"x", "y"}));
}

TEST(SplitStringToTokens, EmptySeparatorsGiveOneTokenPerLine) {
    Tokens tokens;
    EXPECT_EQ(split_string_to_tokens("ab", "", tokens), 0u);
    EXPECT_EQ(tokens, (Tokens{"ab"}));

    tokens.clear();
    EXPECT_EQ(split_string_to_tokens("a b\n\nc,d", "", tokens), 0u);
    EXPECT_EQ(tokens, (Tokens{"a b", "c,d"}));
}

TEST(SplitStringToTokens, CarriageReturnIsOrdinaryUnlessSeparator) {
    Tokens tokens;
    split_string_to_tokens("a\r\nb\r\n", " ", tokens);
    EXPECT_EQ(tokens, (Tokens{"a\r", "b\r"}));

    tokens.clear();
    split_string_to_tokens("a\r\nb\r\n", "\r", tokens);
    EXPECT_EQ(tokens, (Tokens{"a", "b"}));
}

TEST(SplitStringToTokens, ZeroBytesAreCharactersLikeAnyOther) {
    Tokens tokens;
    split_string_to_tokens(bytes("a\0b,c", 5), ",", tokens);
    EXPECT_EQ(tokens, (Tokens{bytes("a\0b", 3), "c"}));

    tokens.clear();
    split_string_to_tokens(bytes("a\0b,c", 5), bytes("\0", 1), tokens);
    EXPECT_EQ(tokens, (Tokens{"a", "b,c"}));
}

TEST(SplitStringToTokens, AppendsWithoutClearing) {
    Tokens tokens{"kept"};
    EXPECT_EQ(split_string_to_tokens("x y", " ", tokens), 0u);
    EXPECT_EQ(tokens, (Tokens{"kept", "x", "y"}));
}

TEST(SplitStringToTokens, NoTokenStatusDependsOnTheWholeVector) {
    Tokens tokens;
    EXPECT_EQ(split_string_to_tokens(",,,", ",", tokens), STATUS_NO_TOKEN);
    EXPECT_EQ(STATUS_NO_TOKEN, 0x910E0001u);
    EXPECT_TRUE(tokens.empty());
    EXPECT_EQ(split_string_to_tokens("", ",", tokens), STATUS_NO_TOKEN);
    EXPECT_EQ(split_string_to_tokens("\n\n", "", tokens), STATUS_NO_TOKEN);

    Tokens one{"already"};
    EXPECT_EQ(split_string_to_tokens(",,,", ",", one), 0u);
    EXPECT_EQ(one, (Tokens{"already"}));
}

// ---- randomized comparison with reference models ----

namespace {

// Tokens are the maximal runs of characters that are neither a newline nor a separator.
Tokens model_split(const std::string& text, const std::string& separators) {
    Tokens out;
    std::string current;
    for (char c : text) {
        if (c == '\n' || separators.find(c) != std::string::npos) {
            if (!current.empty()) out.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

bool model_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// ws* [+-]? (d+ (. d*)? | . d+) ([eE] [+-]? d+)? ws*. No answer for exponents of three or
// more digits, which may leave the range of double.
std::optional<bool> model_is_number(const std::string& s) {
    std::size_t i = 0;
    auto digits = [&] {
        std::size_t start = i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        return i - start;
    };
    while (i < s.size() && model_space(s[i])) ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t mantissa = digits();
    if (i < s.size() && s[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exponent = digits();
        if (exponent == 0) return false;
        if (exponent > 2) return std::nullopt;
    }
    while (i < s.size() && model_space(s[i])) ++i;
    return i == s.size();
}

std::string random_text(std::mt19937& rng, const std::string& alphabet, std::size_t max_len) {
    std::uniform_int_distribution<std::size_t> len(0, max_len);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string out;
    for (std::size_t n = len(rng); n > 0; --n) out += alphabet[pick(rng)];
    return out;
}

// Shaped like a number most of the time, with a chance of a stray piece anywhere.
std::string random_number_like(std::mt19937& rng) {
    std::uniform_int_distribution<int> coin(0, 3);
    auto maybe = [&](const std::string& alphabet, std::size_t max_len) {
        return coin(rng) == 0 ? std::string() : random_text(rng, alphabet, max_len);
    };
    std::string s = maybe(" \t\n", 2) + maybe("+-", 1) + maybe("0123456789", 6) + maybe(".", 1) +
                    maybe("0123456789", 4);
    if (coin(rng) != 0) s += maybe("eE", 1) + maybe("+-", 1) + maybe("0123456789", 2);
    s += maybe(" \t\r\f\vx.e,", 2);
    return s;
}

}  // namespace

TEST(TextProperties, SplitMatchesReferenceModel) {
    std::mt19937 rng(20240611);
    const std::string alphabet = std::string("ab,;: \n\r\t", 9) + std::string(1, '\0');
    for (int round = 0; round < 5000; ++round) {
        std::string text = random_text(rng, alphabet, 24);
        std::string separators = random_text(rng, alphabet, 3);
        Tokens prefix = (round % 4 == 0) ? Tokens{"p"} : Tokens{};

        Tokens expected = prefix;
        Tokens added = model_split(text, separators);
        expected.insert(expected.end(), added.begin(), added.end());

        Tokens tokens = prefix;
        svc_status status = split_string_to_tokens(text, separators, tokens);
        ASSERT_EQ(tokens, expected) << "round " << round;
        ASSERT_EQ(status, expected.empty() ? STATUS_NO_TOKEN : 0u) << "round " << round;
    }
}

TEST(TextProperties, IsDigitMatchesReferenceModel) {
    std::mt19937 rng(7);
    const std::string alphabet = std::string("0123456789.+-eE \t\nx,", 20) + std::string(1, '\0');
    int accepted = 0, rejected = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text =
            (round % 2 == 0) ? random_number_like(rng) : random_text(rng, alphabet, 10);
        std::optional<bool> expected = model_is_number(text);
        if (!expected) continue;
        ASSERT_EQ(is_digit(text), *expected) << "text \"" << text << "\"";
        ++(*expected ? accepted : rejected);
    }
    // Both answers must have been exercised often, or the comparison proves little.
    EXPECT_GT(accepted, 2000);
    EXPECT_GT(rejected, 2000);
}

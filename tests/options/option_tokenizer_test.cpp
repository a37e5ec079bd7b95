#include "media/options/option_tokenizer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace tavrin {
namespace {

using Tokens = std::vector<std::string>;

struct TokenizerCase {
    const char* what;
    std::string text;
    Tokens expected;
};

TEST(OptionTokenizer, CutsTextsIntoTokens) {
    const std::vector<TokenizerCase> cases = {
        {"empty text", "", {}},
        {"only blanks and tabs", " \t  \t", {}},
        {"blanks between tokens", "-ss 10  -t 5", {"-ss", "10", "-t", "5"}},
        {"tabs and leading/trailing blanks", "\t-i\tin.mp4 \t ", {"-i", "in.mp4"}},
        {"quoted part with blanks",
         "-metadata \"title=Two words\"",
         {"-metadata", "title=Two words"}},
        {"quotes inside a token", "title=\"Two words\"x", {"title=Two wordsx"}},
        {"empty quotes give an empty token", "a \"\" b", {"a", "", "b"}},
        {"unterminated quote runs to the end", "-vf \"scale=1:2  x", {"-vf", "scale=1:2  x"}},
        // n backslashes before a quote, n = 0..3.
        {"0 backslashes: the quote toggles", "a\"b c\"d", {"ab cd"}},
        {"1 backslash: literal quote", "a\\\"b c", {"a\"b", "c"}},
        {"2 backslashes: one backslash, quote toggles", "a\\\\\"b c\"", {"a\\b c"}},
        {"3 backslashes: one backslash and a literal quote", "a\\\\\\\"b c", {"a\\\"b", "c"}},
        {"backslashes without quote stay", "C:\\dir\\\\file x\\", {"C:\\dir\\\\file", "x\\"}},
        // The first pair gives a quote and ends quoting; the second pair then
        // opens and closes an empty quoted part, so the blank separates.
        {"doubled quotes inside quotes", "\"say \"\"hi\"\" now\"", {"say \"hi", "now"}},
        {"doubled quote ends the quoted part", "\"a\"\"b c\"", {"a\"b", "c"}},
        {"a lone dash is a token", "- -y", {"-", "-y"}},
        {"text ends at a zero byte", std::string("-y\0-n", 5), {"-y"}},
        {"UTF-8 passes unchanged",
         "-metadata \"title=\xC3\xA9t\xC3\xA9 \xE2\x82\xAC\"",
         {"-metadata", "title=\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"}},
    };
    for (const TokenizerCase& c : cases) {
        EXPECT_EQ(TokenizeOptions(c.text), c.expected) << c.what;
    }
}

TEST(OptionTokenizer, SurvivesArbitraryAndHugeTexts) {
    // A megabyte of one token, and a text of many small tokens.
    const std::string long_token(1 << 20, 'x');
    const Tokens one = TokenizeOptions(long_token);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].size(), long_token.size());

    std::string many;
    for (int i = 0; i < 100000; ++i) {
        many += "-y ";
    }
    EXPECT_EQ(TokenizeOptions(many).size(), 100000u);

    // Random bytes: no crash, and tokens never hold more bytes than the text
    // (quotes and separators are dropped, backslash runs only shrink).
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 200; ++round) {
        std::string text(static_cast<std::size_t>(byte(random)) * 8, '\0');
        for (char& c : text) {
            c = static_cast<char>(byte(random));
        }
        const Tokens tokens = TokenizeOptions(text);
        std::size_t total = 0;
        for (const std::string& token : tokens) {
            total += token.size();
        }
        EXPECT_LE(total, text.size());
    }
}

}  // namespace
}  // namespace tavrin

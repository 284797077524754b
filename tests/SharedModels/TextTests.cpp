#include "SharedModels/Text.h"

#include <gtest/gtest.h>

using namespace joulix;
using Pieces = std::vector<std::string_view>;

TEST(Text, TrimRemovesUnicodeWhiteSpaceAndNewlines) {
    EXPECT_EQ(text::trim(" \t\n\r\v\f\u00a0\u2028\u2029\u0085\u3000x y\u2003\n"), "x y");
    EXPECT_EQ(text::trim(" \n "), "");
    EXPECT_TRUE(text::isBlank("\u2000\r\n"));
    EXPECT_FALSE(text::isBlank(" \u00e9 "));
}

TEST(Text, SplitLinesAtEveryNewlineCharacterDroppingEmptyPieces) {
    EXPECT_EQ(text::splitLines("a\nb\vc\fd\re\r\nf"), (Pieces{"a", "b", "c", "d", "e", "f"}));
    EXPECT_EQ(text::splitLines("a\u0085b\u2028c\u2029d\n\n"), (Pieces{"a", "b", "c", "d"}));
    EXPECT_TRUE(text::splitLines("\n\r\n").empty());
    EXPECT_EQ(text::splitKeepingEmpty("a\n\nb\n", '\n'), (Pieces{"a", "", "b", ""}));
}

TEST(Text, SplitWhitespaceAndLowercasedKnowUnicode) {
    EXPECT_EQ(text::splitWhitespace("  a\u00a0b\tc\nd  "), (Pieces{"a", "b", "c", "d"}));
    EXPECT_EQ(text::lowercased("JouLIX ÉCOLE ΣΑΣ"), "joulix école σασ");
}

TEST(Text, CharactersAreGraphemeClusters) {
    EXPECT_EQ(text::characterCount("e\u0301a\r\nb"), 4u);  // é (two scalars), a, CR LF, b
    EXPECT_EQ(text::byteOffsetOfCharacter("e\u0301a", 1), 3u);
    EXPECT_EQ(text::byteOffsetOfCharacter("ab", 7), 2u);
}

TEST(Text, RepairReplacesEachMaximalInvalidSubpart) {
    const std::pair<std::string, std::string> cases[] = {
        {"ok", "ok"},
        {"a\xffz", "a\uFFFDz"},
        {"\xe2\x82z", "\uFFFDz"},                // a truncated sequence is one subpart
        {"\xc0\xaf", "\uFFFD\uFFFD"},            // overlong form: two bytes, two replacements
        {"\xed\xa0\x80", "\uFFFD\uFFFD\uFFFD"},  // surrogate
        {"\xf0\x9f\x94\x8b", "\U0001F50B"},
        {"\xf0\x9f\x94", "\uFFFD"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(text::repairUTF8(input), expected) << input;
}

TEST(Text, FormattedPrintsShortAndLongNumbersWhole) {
    EXPECT_EQ(text::formatted("%.2f", 2.345), "2.35");
    const std::string large = text::formatted("%.2f", 1e80);
    EXPECT_EQ(large.size(), 84u);
    EXPECT_TRUE(large.starts_with("1000000000000000000") && large.ends_with(".00")) << large;
}

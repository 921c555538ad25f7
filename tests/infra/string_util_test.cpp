// String, number-text, JSON-text and byte-order helpers.
#include "infra/string_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "infra/byte_order.h"
#include "infra/json_util.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using Pieces = std::vector<std::string>;
const std::map<char, char> kQuotes{{'"', '"'}, {'(', ')'}};

Pieces Cut(void (*split)(const std::string&, const std::string&, Pieces&, bool), const std::string& text,
           const std::string& separator, bool keepEmpty = false) {
    Pieces out;
    split(text, separator, out, keepEmpty);
    return out;
}

Pieces CutQuoted(const std::string& text, const std::string& separators, bool keepEmpty = false) {
    Pieces out;
    SplitIgnore(text, separators, out, kQuotes, keepEmpty);
    return out;
}

TEST(SplitTest, KeepsEmptyPiecesOnlyWhenAsked) {
    EXPECT_EQ(Cut(Split, "a,,b", ","), (Pieces{"a", "b"}));
    EXPECT_EQ(Cut(Split, "a,,b,", ",", true), (Pieces{"a", "", "b", ""}));
    EXPECT_EQ(Cut(Split, "k1::k2::::k3", "::"), (Pieces{"k1", "k2", "k3"}));
    EXPECT_EQ(Cut(SplitSet, "a b\tc  d", " \t"), (Pieces{"a", "b", "c", "d"}));
    EXPECT_EQ(Cut(SplitSet, "a  b", " ", true), (Pieces{"a", "", "b"}));
    EXPECT_TRUE(Cut(Split, "", ",", true).empty());
    EXPECT_TRUE(Cut(Split, "a,b", "", true).empty());
    EXPECT_TRUE(Cut(SplitSet, "a,b", "", true).empty());

    Pieces out{"kept"};
    Split("x", ",", out);
    EXPECT_EQ(out, (Pieces{"kept", "x"}));  // appends
}

TEST(SplitTest, StopsAt1024Elements) {
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        text += std::to_string(i) + ",";
    }
    Pieces out = Cut(Split, text, ",");
    ASSERT_EQ(out.size(), 1024u);
    EXPECT_EQ(out.back(), "1023");
    EXPECT_EQ(CutQuoted(text, ",").size(), 1024u);

    // The limit counts what the vector already held.
    Pieces prefilled(1000, "old");
    SplitSet(text, ",;", prefilled);
    ASSERT_EQ(prefilled.size(), 1024u);
    EXPECT_EQ(prefilled.back(), "23");
}

TEST(SplitTest, SplitIgnoreKeepsQuotedRunsWhole) {
    EXPECT_EQ(CutQuoted(R"(one,"two, still two",three)", ","),
              (Pieces{"one", R"("two, still two")", "three"}));
    EXPECT_EQ(CutQuoted("f(a,b),g(c) h", ", "), (Pieces{"f(a,b)", "g(c)", "h"}));
    // A closing character opens nothing; an unterminated run lasts to the end.
    EXPECT_EQ(CutQuoted(R"(a),b,"c,d)", ","), (Pieces{"a)", "b", R"("c,d)"}));
    EXPECT_EQ(CutQuoted(R"(,"",)", ",", true), (Pieces{"", R"("")", ""}));
}

TEST(SplitTest, SplitKvCutsAtTheFirstSeparator) {
    std::string key = "k0";
    std::string value = "v0";
    EXPECT_TRUE(SplitKv("name=a=b", "=", key, value));
    EXPECT_EQ(key + "|" + value, "name|a=b");
    key = "k0";
    EXPECT_FALSE(SplitKv("no separator", "=", key, value));
    EXPECT_FALSE(SplitKv("a=b", "", key, value));
    EXPECT_EQ(key, "k0");
}

TEST(TrimTest, RemovesTheSetAtBothEnds) {
    std::string text = "\r\n  12 34 \r\n";
    Trim(text, " \r\n");
    EXPECT_EQ(text, "12 34");
    text = "\r\n\r\n";
    Trim(text, "\r\n");
    EXPECT_EQ(text, "");
}

std::string ReplacedAll(std::string text, const std::string& from, const std::string& to) {
    ReplaceStringAll(text, from, to);
    return text;
}

TEST(ReplaceTest, ReplacesWithoutRescanningInsertedText) {
    std::string text = "a.b.c";
    ReplaceString(text, ".", "::");
    EXPECT_EQ(text, "a::b.c");
    ReplaceString(text, "", "x");
    EXPECT_EQ(text, "a::b.c");

    EXPECT_EQ(ReplacedAll("aaa", "a", "aa"), "aaaaaa");
    EXPECT_EQ(ReplacedAll("xabab", "ab", "b"), "xbb");
    EXPECT_EQ(ReplacedAll("%%%", "%%", "%"), "%%");
    EXPECT_EQ(ReplacedAll("same", "", "x"), "same");
}

TEST(ResetTest, WipesTheBufferInPlaceAndEmptiesTheString) {
    for (auto reset : {&ResetString, &ResetPwdStr}) {
        std::string secret(64, 'S');  // beyond the small-string buffer
        const char* buffer = secret.data();
        reset(secret);
        EXPECT_TRUE(secret.empty());
        ASSERT_EQ(secret.data(), buffer);  // not reallocated, so the old bytes are these
        EXPECT_EQ(std::string(buffer, 64), std::string(64, '\0'));
    }
}

TEST(NumberTextTest, ToStrToHexStrItoStr) {
    EXPECT_EQ(ToStr(7, false, 2, '0'), "07");
    EXPECT_EQ(ToStr(255, true, 4, ' '), "  ff");
    EXPECT_EQ(ToStr(123456, false, 3, '0'), "123456");
    EXPECT_EQ(ToHexStr(255, true), "0xFF");
    EXPECT_EQ(ToHexStr(0xabcdef), "0xabcdef");
    EXPECT_EQ(ItoStr(-9223372036854775807LL - 1), "-9223372036854775808");
}

TEST(NumberTextTest, ToLReadsWhatAStreamReads) {
    EXPECT_EQ(ToL("0X1f"), 31);
    EXPECT_EQ(ToL("0012"), 12);
    EXPECT_EQ(ToL("-5"), -5);
    EXPECT_EQ(ToL("12a"), 12);
    EXPECT_EQ(ToL("0x"), 0);  // two characters: decimal, reads the 0
    EXPECT_EQ(ToL("abc"), 0);
    EXPECT_EQ(ToL("9223372036854775807"), 9223372036854775807LL);
    EXPECT_EQ(ToL("9223372036854775808"), 0);  // out of range reads as nothing
}

TEST(NumberTextTest, CheckedToLAcceptsOnlyDigits) {
    const std::map<std::string, long long> accepted{
        {"0x1F", 31}, {"0XfF", 255}, {"0012", 12}, {"", 0}, {"0x0", 0}};
    for (const auto& [text, expected] : accepted) {
        long long value = 77;
        EXPECT_TRUE(ToL(text, value)) << text;
        EXPECT_EQ(value, expected) << text;
    }
    // The last one is made of digits only but has no 64-bit value.
    for (const char* text : {"-5", "+5", "0x1G", "12a", " 12", "0x", "x12", "1f", "99999999999999999999"}) {
        long long value = 77;
        EXPECT_FALSE(ToL(text, value)) << text;
        EXPECT_EQ(value, 0) << text;
    }
}

// Runs `printf '%s|' <word>` through the real /bin/sh: one argument comes
// back as the text followed by a single '|'.
std::string EchoThroughShell(const std::string& word) {
    return chs_test::RunProgram({"/bin/sh", "-c", "printf '%s|' " + word}).out;
}

TEST(ShellQuoteTest, EveryTextReachesTheProgramAsOneLiteralArgument) {
    chs_test::TempDir dir;
    std::string canary = dir.Join("canary");
    const std::string texts[] = {
        "plain",
        "",
        "a'b; rm -rf x $(id)",
        "'",
        "''",
        "it's a \"test\"",
        "$(touch " + canary + ")",
        "`touch " + canary + "`; touch " + canary,
        "back\\slash \\' end\\",
        "line1\nline2\t*?[a]",
        "-n",
        "$HOME ${PATH} ~ & | > " + canary,
    };
    for (const std::string& text : texts) {
        EXPECT_EQ(EchoThroughShell(ShellQuote(text)), text + "|") << text;
    }
    EXPECT_NE(access(canary.c_str(), F_OK), 0) << "the shell ran text it was handed as data";
}

TEST(JsonTextTest, ParsesWhatItWrites) {
    Json::Value value;
    EXPECT_TRUE(JsonDeserialization(R"({"name":"node0","count":3,"list":[1,2]})", value));
    EXPECT_EQ(JsonDeserialization(JsonSerialization(value)), value);

    Json::Value untouched("keep");
    EXPECT_FALSE(JsonDeserialization("{\"a\":", untouched));
    EXPECT_EQ(untouched.asString(), "keep");
    EXPECT_TRUE(JsonDeserialization("not json").isNull());
}

TEST(JsonTextTest, FromJsonGivesTheMemberText) {
    Json::Value object =
        JsonDeserialization(R"({"s":"text","i":-12,"u":18446744073709551615,"b":true,"o":{"k":[1]}})");
    EXPECT_EQ(FromJson(object, "s"), "text");
    EXPECT_EQ(FromJson(object, "i"), "-12");
    EXPECT_EQ(FromJson(object, "u"), "18446744073709551615");
    EXPECT_EQ(FromJson(object, "b"), "true");
    EXPECT_EQ(FromJson(object, "o"), R"({"k":[1]})");
    EXPECT_EQ(FromJson(object, "missing"), "");
    EXPECT_FALSE(object.isMember("missing"));  // looking did not add it
    EXPECT_EQ(FromJson(Json::Value("scalar"), "s"), "");
}

TEST(ByteOrderTest, ConvertedValuesLieInMemoryLittleEndian) {
    EXPECT_TRUE(chs_isLittleEndianness());
    const unsigned char expected32[] = {0x78, 0x56, 0x34, 0x12};
    uint32_t wire32 = chs_convertEndianess(static_cast<uint32_t>(0x12345678u));
    EXPECT_EQ(memcmp(&wire32, expected32, sizeof(expected32)), 0);
    const unsigned char expected16[] = {0xFE, 0xFF};
    int16_t wire16 = chs_convertEndianess(static_cast<int16_t>(-2));
    EXPECT_EQ(memcmp(&wire16, expected16, sizeof(expected16)), 0);
    unsigned long long value = 0x1122334455667788ull;
    EXPECT_EQ(chs_convertEndianess(chs_convertEndianess(value)), value);
    EXPECT_EQ(chs_byteSwap64(0x0102030405060708ull), 0x0807060504030201ull);
}

}  // namespace

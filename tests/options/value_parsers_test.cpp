#include "media/options/value_parsers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "fixtures/ff_libs_fixture.h"
#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {
namespace {

// The message a parser raised for `text`, or "" when it accepted it.
std::string RaisedBy(const std::function<void()>& parse) {
    try {
        parse();
    } catch (const FFmpegException& error) {
        return error.what();
    }
    return "";
}

TEST(ValueParsers, AcceptWholeDecimalNumbers) {
    EXPECT_EQ(ParseInteger("vol", "256"), 256);
    EXPECT_EQ(ParseInteger("vol", "-17"), -17);
    EXPECT_EQ(ParseInteger("vol", "+17"), 17);
    EXPECT_EQ(ParseInteger("vol", "2147483647"), INT32_MAX);
    EXPECT_EQ(ParseInteger("vol", "-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseInt64("fs", "9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ParseInt64("fs", "-9223372036854775808"), INT64_MIN);
    EXPECT_FLOAT_EQ(ParseFloat("adrift_threshold", "0.25"), 0.25f);
    EXPECT_FLOAT_EQ(ParseFloat("adrift_threshold", "1e3"), 1000.0f);
    EXPECT_DOUBLE_EQ(ParseDouble("itsscale", "-1.5"), -1.5);
    EXPECT_DOUBLE_EQ(ParseDouble("itsscale", "3"), 3.0);
}

TEST(ValueParsers, RejectSuffixesGarbageAndOverflowWithTheirMessages) {
    const struct {
        std::function<void()> parse;
        const char* message;
    } cases[] = {
        {[] { ParseInteger("vol", "128k"); }, "Expected integer for \"vol\" but found \"128k\""},
        {[] { ParseInteger("vol", "2147483648"); },
         "Expected integer for \"vol\" but found \"2147483648\""},
        {[] { ParseInteger("vol", "-2147483649"); },
         "Expected integer for \"vol\" but found \"-2147483649\""},
        {[] { ParseInteger("vol", ""); }, "Expected integer for \"vol\" but found \"\""},
        {[] { ParseInteger("vol", "1.5"); }, "Expected integer for \"vol\" but found \"1.5\""},
        {[] { ParseInteger("vol", "0x10"); }, "Expected integer for \"vol\" but found \"0x10\""},
        {[] { ParseInteger("vol", "+-1"); }, "Expected integer for \"vol\" but found \"+-1\""},
        {[] { ParseInteger("vol", "12 "); }, "Expected integer for \"vol\" but found \"12 \""},
        {[] { ParseInt64("fs", "9223372036854775808"); },
         "Expected int64 for \"fs\" but found \"9223372036854775808\""},
        {[] { ParseInt64("fs", "1M"); }, "Expected int64 for \"fs\" but found \"1M\""},
        {[] { ParseFloat("adrift_threshold", "abc"); },
         "Expected float for \"adrift_threshold\" but found \"abc\""},
        {[] { ParseFloat("adrift_threshold", "1e40"); },
         "Expected float for \"adrift_threshold\" but found \"1e40\""},
        {[] { ParseFloat("adrift_threshold", "inf"); },
         "Expected float for \"adrift_threshold\" but found \"inf\""},
        {[] { ParseDouble("itsscale", "0,5"); },
         "Expected double for \"itsscale\" but found \"0,5\""},
        {[] { ParseDouble("itsscale", "nan"); },
         "Expected double for \"itsscale\" but found \"nan\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(RaisedBy(c.parse), c.message);
    }
    // A zero byte inside the text ends no number early.
    EXPECT_THROW(ParseInteger("vol", std::string("1\0"
                                                 "2",
                                                 3)),
                 FFmpegException);
}

using ParseTimeTest = testing::FFLibsTest;

TEST_F(ParseTimeTest, DurationsAndDates) {
    EXPECT_EQ(ParseTime("t", "1:30", true), 90'000'000);  // minutes:seconds
    EXPECT_EQ(ParseTime("t", "5", true), 5'000'000);
    EXPECT_EQ(ParseTime("t", "01:02:03.5", true), 3'723'500'000);
    EXPECT_EQ(ParseTime("t", "-2.25", true), -2'250'000);
    EXPECT_EQ(ParseTime("timestamp", "1970-01-02 00:00:00Z", false), 86'400'000'000);
    EXPECT_EQ(RaisedBy([] { ParseTime("t", "forever", true); }),
              "Invalid duration specification for \"t\": \"forever\"");
    EXPECT_EQ(RaisedBy([] { ParseTime("timestamp", "yesterday", false); }),
              "Invalid date specification for \"timestamp\": \"yesterday\"");
}

TEST(PendingErrorText, SetAndClear) {
    SetPendingErrorText("first");
    EXPECT_EQ(PendingErrorText(), "first");
    SetPendingErrorText("second");
    EXPECT_EQ(PendingErrorText(), "second");
    ClearPendingErrorText();
    EXPECT_EQ(PendingErrorText(), "");
}

}  // namespace
}  // namespace tavrin

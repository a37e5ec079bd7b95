#include "media/common/text_helpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/ff_libs_fixture.h"
#include "fixtures/media_fixtures.h"
#include "media/common/protocol_registration.h"
#include "media/runtime/ff_api.h"

namespace tavrin {
namespace {

static_assert(MakeTag('D', 'I', 'V', 'X') == MKTAG('D', 'I', 'V', 'X'));
static_assert(MakeTag(0x01, 0x02, 0x03, 0xFF) == 0xFF030201u);

TEST(TextHelpers, FormatTimestamp) {
    const struct {
        std::int64_t microseconds;
        const char* text;
    } cases[] = {
        {AV_NOPTS_VALUE, "N/A"},
        {3'723'456'000, "01:02:03.461"},  // rounded to 1/100 s before cutting
        {0, "00:00:00.005"},
        {59'999'000, "00:01:00.004"},
        {100LL * 3600 * 1'000'000, "100:00:00.005"},
        {INT64_MAX, "2562047788:00:54.780"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.microseconds);
        EXPECT_EQ(FormatTimestamp(c.microseconds), c.text);
    }
}

TEST(TextHelpers, MediaTypeNameAndFrameDuration) {
    const char* const names[] = {"Unknown",  "Video",      "Audio",  "Data",
                                 "Subtitle", "Attachment", "Unknown"};
    for (int type = -1; type <= 5; ++type) {
        EXPECT_EQ(MediaTypeName(type), names[type + 1]) << type;
    }
    EXPECT_EQ(FrameDuration({25, 1}), 40000);
    EXPECT_EQ(FrameDuration({30000, 1001}), 33366);
    EXPECT_EQ(FrameDuration({0, 1}), 40000);
    EXPECT_EQ(FrameDuration({25, 0}), 40000);
}

TEST(TextHelpers, GrowArrayZeroFillsAndRefusesHugeCounts) {
    std::vector<int> values{1, 2};
    GrowArray(values, 5);
    EXPECT_EQ(values, (std::vector<int>{1, 2, 0, 0, 0}));
    GrowArray(values, 3);  // never shrinks
    EXPECT_EQ(values.size(), 5u);
    try {
        GrowArray(values, INT_MAX / sizeof(int));
        FAIL() << "no error raised";
    } catch (const FFmpegException& error) {
        EXPECT_STREQ(error.what(), "Array too big.");
    }
    EXPECT_EQ(values.size(), 5u);
}

TEST(TextHelpers, ReadWholeFile) {
    const testing::TempDir dir;
    {
        std::ofstream(dir / "text.txt", std::ios::binary) << std::string("ab\0c", 4);
        std::ofstream(dir / "empty.txt", std::ios::binary);
    }
    std::vector<char> buffer{'x'};
    ASSERT_EQ(ReadWholeFile((dir / "text.txt").string(), buffer), 0);
    EXPECT_EQ(buffer, (std::vector<char>{'a', 'b', '\0', 'c', '\0'}));
    ASSERT_EQ(ReadWholeFile((dir / "empty.txt").string(), buffer), 0);
    EXPECT_EQ(buffer, (std::vector<char>{'\0'}));
    EXPECT_EQ(ReadWholeFile((dir / "missing.txt").string(), buffer), -1);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(ReadWholeFile(dir.path().string(), buffer), -1);  // a folder
}

// A named pipe without a writer is refused at once instead of blocking the
// reading thread in its open.
TEST(TextHelpers, ReadWholeFileRefusesAPipe) {
    const testing::TempDir dir;
    const std::string pipe = (dir / "stats.log").string();
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    auto read = std::async(std::launch::async, [&pipe] {
        std::vector<char> buffer;
        return ReadWholeFile(pipe, buffer);
    });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Release the blocked open so that the test can end.
        const int writer = open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) {
            close(writer);
        }
        read.wait();
        FAIL() << "reading a pipe blocked";
    }
    EXPECT_EQ(read.get(), -1);
}

// Runs with the zone set by a POSIX TZ text, then restores the old one.
class TimeZoneTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        had_tz_ = old != nullptr;
        old_tz_ = had_tz_ ? old : "";
    }
    void TearDown() override {
        if (had_tz_) {
            setenv("TZ", old_tz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static void UseZone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
    bool had_tz_ = false;
    std::string old_tz_;
};

TEST_F(TimeZoneTest, UtcOffsetTextShowsLocalMinusUtc) {
    UseZone("UTC0");
    EXPECT_EQ(UtcOffsetText(), "UTC");
    EXPECT_DOUBLE_EQ(UnixToLocalDateTime(0), 25569.0);
    EXPECT_DOUBLE_EQ(UnixToLocalDateTime(86400 + 43200), 25570.5);
    UseZone("<+0530>-5:30");  // east of Greenwich
    EXPECT_EQ(UtcOffsetText(), "UTC+05:30");
    EXPECT_DOUBLE_EQ(UnixToLocalDateTime(0), 25569.0 + 5.5 / 24);
    UseZone("<-03>3");  // west of Greenwich
    EXPECT_EQ(UtcOffsetText(), "UTC-03:00");
    EXPECT_DOUBLE_EQ(UnixToLocalDateTime(0), 25569.0 - 3.0 / 24);
}

class LibraryTextHelpersTest : public testing::FFLibsTest {};

TEST_F(LibraryTextHelpersTest, FormatStreamTimeRescalesToMicroseconds) {
    EXPECT_EQ(FormatStreamTime(1500, {1, 1000}), "00:00:01.505");
    EXPECT_EQ(FormatStreamTime(90000, {1, 90000}), "00:00:01.005");
    EXPECT_EQ(FormatStreamTime(3'723'456'000, {1, 1000000}), "01:02:03.461");
    EXPECT_EQ(FormatStreamTime(AV_NOPTS_VALUE, {1, 1000}), "N/A");
}

TEST_F(LibraryTextHelpersTest, MetadataValue) {
    AVDictionary* raw = nullptr;
    ff.av_dict_set(&raw, "title", "Two words", 0);
    const std::unique_ptr<AVDictionary*, void (*)(AVDictionary**)> dict(&raw, ff.av_dict_free);
    EXPECT_EQ(MetadataValue(raw, "title", "none"), "Two words");
    EXPECT_EQ(MetadataValue(raw, "artist", "none"), "none");
    EXPECT_EQ(MetadataValue(nullptr, "title", ""), "");
}

TEST_F(LibraryTextHelpersTest, CodecDisplayName) {
    const struct {
        AVCodecID id;
        unsigned tag;
        bool encoder;
        const char* name;
    } cases[] = {
        {AV_CODEC_ID_H264, 0, false, "h264(H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10)"},
        {AV_CODEC_ID_PCM_S16LE, 0, true, "pcm_s16le(PCM signed 16-bit little-endian)"},
        {AV_CODEC_ID_MPEG2TS, 0, false, "mpeg2ts"},
        {AV_CODEC_ID_NONE, MKTAG('D', 'I', 'V', 'X'), false, "DIVX / 0x58564944"},
        {AV_CODEC_ID_NONE, 0x01, false, "0x0001"},
        {AV_CODEC_ID_NONE, MKTAG('a', 'b', 'c', 0x7F), false, "0x7f636261"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AVCodecContext* raw = ff.avcodec_alloc_context3(nullptr);
        ASSERT_NE(raw, nullptr);
        const std::unique_ptr<AVCodecContext*, void (*)(AVCodecContext**)> ctx(
            &raw, ff.avcodec_free_context);
        raw->codec_id = c.id;
        raw->codec_tag = c.tag;
        EXPECT_EQ(CodecDisplayName(raw, c.encoder), c.name);
    }
}

TEST_F(LibraryTextHelpersTest, ProtocolRegistrationIsUnavailableWithoutTheInternalEntries) {
    // FFmpeg 5.1 exports no protocol registration; the caller is told so.
    ASSERT_EQ(ff.ffurl_register_protocol, nullptr);
    struct {
        const char* name = "unicode";
    } record;
    EXPECT_FALSE(RegisterProtocolOnce(&record));
}

}  // namespace
}  // namespace tavrin

// The option handlers that store values of their own: stream ids, the video
// sync method, time stamps and time codes, channel layouts, the progress
// output, complex filtergraphs, attachments, statistics files, library limits
// and TimeStart / TimeLength.
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "fixtures/media_fixtures.h"
#include "media/common/error_text.h"
#include "media/runtime/ffmpeg_exception.h"
#include "options/task_test_support.h"

namespace tavrin::testing {
namespace {

using Strings = std::vector<std::string>;

class OptionHandlersTest : public OptionTaskTest {};

// Sets the TZ variable for the life of the object.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            previous_ = old;
            had_previous_ = true;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (had_previous_) {
            setenv("TZ", previous_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::string previous_;
    bool had_previous_ = false;
};

TEST_F(OptionHandlersTest, StreamIds) {
    struct Case {
        std::string options;
        int result;
        std::vector<std::int32_t> ids;
        std::string error;  // the pending text that starts LastError
    };
    const std::vector<Case> cases = {
        {"-streamid 0:256", 0, {256}, ""},
        {"-streamid 3:7 -streamid 1:2", 0, {0, 2, 0, 7}, ""},
        {"-streamid 1023:0", 0, std::vector<std::int32_t>(1024, 0), ""},
        {"-streamid 1024:1",
         AVERROR(EINVAL),
         {},
         "The value for \"streamid\" was \"1024\" which is not within 0 - 1023"},
        {"-streamid -1:1",
         AVERROR(EINVAL),
         {},
         "The value for \"streamid\" was \"-1\" which is not within 0 - 1023"},
        {"-streamid 1:-1",
         AVERROR(EINVAL),
         {},
         "The value for \"streamid\" was \"-1\" which is not within 0 - 2147483647"},
        {"-streamid 3",
         AVERROR(EINVAL),
         {},
         "Invalid value \"3\" for option \"streamid\", required syntax is \"index:value\""},
        {"-streamid a:1",
         AVERROR(EINVAL),
         {},
         "Invalid value \"a:1\" for option \"streamid\", required syntax is \"index:value\""},
        {"-streamid 0:",
         AVERROR(EINVAL),
         {},
         "Invalid value \"0:\" for option \"streamid\", required syntax is \"index:value\""},
        {"-streamid 0:1k",
         AVERROR(EINVAL),
         {},
         "Invalid value \"0:1k\" for option \"streamid\", required syntax is \"index:value\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        NextFile();
        task_.LastError.clear();
        log_.Clear();
        EXPECT_EQ(Parse(c.options), c.result);
        EXPECT_EQ(ctx_.stream_ids, c.ids);
        if (c.error.empty()) {
            EXPECT_EQ(task_.LastError, "");
        } else {
            EXPECT_EQ(task_.LastError.rfind(c.error + "\n", 0), 0u) << task_.LastError;
            EXPECT_TRUE(log_.Has(llError, c.error));
        }
    }
    if (ctx_.stream_ids.size() == 1024) {
        EXPECT_EQ(ctx_.stream_ids[1023], 0);
    }
}

TEST_F(OptionHandlersTest, VideoSyncMethod) {
    struct Case {
        std::string options;
        int result;
        int method;
    };
    const std::vector<Case> cases = {
        {"-vsync drop", 0, 255},
        {"-vsync 255", 0, 255},
        {"-vsync CFR", 0, 1},
        {"-vsync vfr", 0, 2},
        {"-vsync passthrough", 0, 0},
        {"-vsync 0", 0, 0},
        {"-vsync -1", 0, -1},
        {"-vsync 7", AVERROR(EINVAL), -1},
        {"-vsync auto", AVERROR(EINVAL), -1},
        // A keyword always applies; a number is ignored once a method is set.
        {"-vsync vfr -vsync 7", 0, 2},
        {"-vsync cfr -vsync drop", 0, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        TCustomFFmpegOpt task;
        BuildOptionTable(task);
        OptionsContext ctx(task);
        log_.Clear();
        EXPECT_EQ(ParseFileOptions(task, ctx, c.options, "output file", ""), c.result);
        EXPECT_EQ(task.video_sync_method, c.method);
        if (c.result < 0) {
            const std::string text =
                "The value for \"vsync\" was \"" + c.options.substr(7) + "\" which is invalid";
            EXPECT_TRUE(log_.Has(llError, text));
            EXPECT_EQ(task.LastError.rfind(text, 0), 0u) << task.LastError;
        }
    }
}

TEST_F(OptionHandlersTest, RecordingTimestampBecomesCreationTimeMetadata) {
    ASSERT_EQ(Parse("-timestamp now"), 0) << task_.LastError;
    ASSERT_EQ(ctx_.metadata.size(), 1u);
    EXPECT_EQ(ctx_.metadata[0].specifier, "");
    const std::regex shape(
        R"(creation_time=\d{4}-\d{2}-\d{2}T([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.000000Z)");
    EXPECT_TRUE(std::regex_match(ctx_.metadata[0].str, shape)) << ctx_.metadata[0].str;
    // Today's date in UTC.
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char today[16];
    std::strftime(today, sizeof today, "%Y-%m-%d", &utc);
    EXPECT_NE(ctx_.metadata[0].str.find(today), std::string::npos);
    EXPECT_TRUE(log_.Has(
        llWarning, "timestamp is deprecated, set the \"creation_time\" metadata tag instead."));
}

// Muxers accept the creation time only in ISO 8601 with "Z": the same
// instant is written whatever the local time zone.
TEST_F(OptionHandlersTest, RecordingTimestampIsWrittenInUtc) {
    for (const char* zone : {"UTC0", "CET-1", "NST+3:30"}) {
        SCOPED_TRACE(zone);
        const ScopedTimeZone scoped(zone);
        NextFile();
        // Half a second and more rounds up to the next second.
        ASSERT_EQ(Parse("-timestamp 2012-03-04T05:06:06.6Z"), 0) << task_.LastError;
        ASSERT_EQ(ctx_.metadata.size(), 1u);
        EXPECT_EQ(ctx_.metadata[0].str, "creation_time=2012-03-04T05:06:07.000000Z");
    }
    NextFile();
    EXPECT_THROW(Parse("-timestamp yesterday"), FFmpegException);
    EXPECT_EQ(task_.LastError, "Invalid date specification for \"timestamp\": \"yesterday\"");
}

TEST_F(OptionHandlersTest, TimecodeGoesToGlobalMetadataAndTheCodecOptions) {
    ASSERT_EQ(Parse("-timecode 01:02:03:04"), 0) << task_.LastError;
    EXPECT_EQ(Occurrences(ctx_.metadata), (Strings{"g=timecode=01:02:03:04"}));
    EXPECT_EQ(CodecOption("gop_timecode"), "01:02:03:04");
}

TEST_F(OptionHandlersTest, ChannelLayoutSetsTheLayoutAndTheChannelCount) {
    struct Case {
        std::string options;
        const char* key;
        std::string mask;
        std::string channels;  // "<specifier>=<count>" of audio_channels
    };
    const std::vector<Case> cases = {
        {"-channel_layout stereo", "channel_layout", "3", "=2"},
        {"-channel_layout:a 5.1", "channel_layout:a", "63", "a=6"},
        {"-channel_layout \"5.1(side)\"", "channel_layout", "1551", "=6"},
        {"-channel_layout 0x4", "channel_layout", "4", "=1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        NextFile();
        ASSERT_EQ(Parse(c.options), 0) << task_.LastError;
        EXPECT_EQ(CodecOption(c.key), c.mask);
        ASSERT_EQ(ctx_.audio_channels.size(), 1u);
        EXPECT_EQ(ctx_.audio_channels[0].specifier + "=" + std::to_string(ctx_.audio_channels[0].i),
                  c.channels);
    }
    NextFile();
    log_.Clear();
    EXPECT_EQ(Parse("-channel_layout sideways"), AVERROR(EINVAL));
    EXPECT_TRUE(log_.Has(llError, "Unknown channel layout: sideways"));
    EXPECT_EQ(task_.LastError.rfind("Unknown channel layout: sideways", 0), 0u);
    EXPECT_TRUE(ctx_.audio_channels.empty());
}

TEST_F(OptionHandlersTest, ProgressOutputIsOpenedForWriting) {
    TempDir dir;
    const std::filesystem::path file = dir / "progress.txt";
    ASSERT_EQ(Parse("-progress " + file.string()), 0) << task_.LastError;
    ASSERT_NE(task_.progress_output, nullptr);
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_NE(task_.WriteStartTime.load(), INT64_MAX);

    const std::string missing = (dir / "no-folder" / "progress.txt").string();
    NextFile();
    log_.Clear();
    EXPECT_EQ(Parse("-progress " + missing), AVERROR(ENOENT));
    const std::string text =
        "Failed to open progress URL \"" + missing + "\": " + ErrorText(AVERROR(ENOENT));
    EXPECT_TRUE(log_.Has(llError, text));
    EXPECT_EQ(task_.LastError.rfind(text, 0), 0u) << task_.LastError;
    // The output opened before stays.
    EXPECT_NE(task_.progress_output, nullptr);
}

TEST_F(OptionHandlersTest, FilterComplexAndAttachStoreTheirArguments) {
    ASSERT_EQ(Parse("-filter_complex \"[0:v]scale=64:48[v]\" -attach a.ttf", "", "input file"), 0)
        << task_.LastError;
    NextFile();
    ASSERT_EQ(Parse("-filter_complex anullsrc[a] -attach b.ttf -attach c.ttf"), 0)
        << task_.LastError;
    ASSERT_EQ(task_.filtergraphs.size(), 2u);
    EXPECT_EQ(task_.filtergraphs[0]->index, 0);
    EXPECT_EQ(task_.filtergraphs[0]->description, "[0:v]scale=64:48[v]");
    EXPECT_EQ(task_.filtergraphs[1]->index, 1);
    EXPECT_EQ(task_.filtergraphs[1]->description, "anullsrc[a]");
    EXPECT_EQ(task_.filtergraphs[1]->graph, nullptr);
    EXPECT_EQ(ctx_.attachments, (Strings{"b.ttf", "c.ttf"}));
}

TEST_F(OptionHandlersTest, DeinterlaceAndStatisticsFiles) {
    ASSERT_EQ(Parse("-deinterlace -vstats"), 0) << task_.LastError;
    EXPECT_EQ(task_.deinterlace, 1);
    EXPECT_TRUE(log_.Has(llWarning, "-deinterlace is deprecated, use -filter:v yadif instead"));
    EXPECT_TRUE(std::regex_match(task_.vstats_file,
                                 std::regex(R"(vstats_([01]\d|2[0-3])[0-5]\d[0-5]\d\.log)")))
        << task_.vstats_file;
    NextFile();
    ASSERT_EQ(Parse("-vstats_file \"my stats.log\""), 0);
    EXPECT_EQ(task_.vstats_file, "my stats.log");
}

TEST_F(OptionHandlersTest, MaxAllocLimitsEverySingleAllocation) {
    ASSERT_EQ(Parse("-max_alloc 1000000"), 0) << task_.LastError;
    void* large = ff.av_malloc(2'000'000);
    void* small = ff.av_malloc(1000);
    ff.av_max_alloc(INT_MAX);  // the libraries' default, for the rest of the process
    EXPECT_EQ(large, nullptr);
    EXPECT_NE(small, nullptr);
    ff.av_free(large);
    ff.av_free(small);

    for (const std::string bad : {"1M", "12.5", "lots", "\"\""}) {
        SCOPED_TRACE(bad);
        NextFile();
        log_.Clear();
        EXPECT_EQ(Parse("-max_alloc " + bad), AVERROR(EINVAL));
        const std::string shown = bad == "\"\"" ? "" : bad;
        EXPECT_TRUE(log_.Has(llFatal, "Invalid max_alloc \"" + shown + "\"."));
    }
    // Nothing of the above changed the limit.
    void* again = ff.av_malloc(2'000'000);
    EXPECT_NE(again, nullptr);
    ff.av_free(again);
}

TEST_F(OptionHandlersTest, CpuFlagsAreForced) {
    ASSERT_EQ(Parse("-cpuflags 0"), 0) << task_.LastError;
    const int forced = ff.av_get_cpu_flags();
    ff.av_force_cpu_flags(-1);  // detect again, for the rest of the process
    EXPECT_EQ(forced, 0);

    NextFile();
    log_.Clear();
    EXPECT_LT(Parse("-cpuflags +nonsense"), 0);
    EXPECT_TRUE(log_.Has(llFatal, "Failed to parse cpu flags \"+nonsense\": "));
}

TEST_F(OptionHandlersTest, TimeStartAndTimeLengthAreSecondsWithAFraction) {
    struct Case {
        std::string options;
        std::int64_t start;
        std::int64_t length;
    };
    const std::vector<Case> cases = {
        {"-TimeStart 1.5", 1'500'000, INT64_MAX},
        {"-timestart 0.0000004", 0, INT64_MAX},
        {"-timestart 0.0000006", 1, INT64_MAX},
        {"-TimeLength 2.25 -TimeStart 10", 10'000'000, 2'250'000},
        {"-timelength 3600", 0, 3'600'000'000},
        {"-TimeStart -2", -2'000'000, INT64_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        NextFile();
        // An input's options text, as the encoder component writes it.
        ASSERT_EQ(Parse(c.options, "", "input file"), 0) << task_.LastError;
        EXPECT_EQ(ctx_.start_time, c.start);
        EXPECT_EQ(ctx_.recording_time, c.length);
    }
    for (const std::string bad : {"abc", "1,5", "1e300", "nan"}) {
        SCOPED_TRACE(bad);
        NextFile();
        log_.Clear();
        EXPECT_EQ(Parse("-TimeStart " + bad), AVERROR(EINVAL));
        const std::string text = "'" + bad + "' is not a valid floating point value";
        EXPECT_TRUE(log_.Has(llError, text));
        EXPECT_EQ(task_.LastError.rfind(text, 0), 0u) << task_.LastError;
        EXPECT_EQ(ctx_.start_time, 0);
    }
}

}  // namespace
}  // namespace tavrin::testing

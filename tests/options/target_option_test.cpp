// -target: the settings of each disc and camcorder format, and the norm
// taken from the prefix or guessed from the opened inputs.
#include <string>
#include <vector>

#include "media/runtime/ffmpeg_exception.h"
#include "options/input_test_support.h"

namespace tavrin::testing {
namespace {

using Strings = std::vector<std::string>;

class TargetOptionTest : public InputTaskTest {
protected:
    // The value of the last occurrence of a per-stream list, "<none>" if none.
    static std::string Last(const SpecifierList& list) {
        return list.empty() ? "<none>" : list.back().str;
    }
    static std::string LastInt(const SpecifierList& list) {
        return list.empty() ? "<none>" : std::to_string(list.back().i);
    }
};

TEST_F(TargetOptionTest, PrefixedTargetsWriteTheirSettings) {
    struct Case {
        std::string target;
        std::string size;
        std::string rate;
        std::string pix_fmt;
        std::string format;
        Strings codecs;
        std::string gop;
        std::string sample_rate;
        std::string channels;
    };
    const std::vector<Case> cases = {
        {"pal-dvd",
         "720x576",
         "25",
         "yuv420p",
         "dvd",
         {"v=mpeg2video", "a=ac3"},
         "15",
         "48000",
         "<none>"},
        {"ntsc-dvd",
         "720x480",
         "30000/1001",
         "yuv420p",
         "dvd",
         {"v=mpeg2video", "a=ac3"},
         "18",
         "48000",
         "<none>"},
        {"pal-vcd",
         "352x288",
         "25",
         "<none>",
         "vcd",
         {"v=mpeg1video", "a=mp2"},
         "15",
         "44100",
         "2"},
        {"film-vcd",
         "352x240",
         "24000/1001",
         "<none>",
         "vcd",
         {"v=mpeg1video", "a=mp2"},
         "18",
         "44100",
         "2"},
        {"pal-svcd",
         "480x576",
         "25",
         "yuv420p",
         "svcd",
         {"v=mpeg2video", "a=mp2"},
         "15",
         "44100",
         "<none>"},
        {"ntsc-svcd",
         "480x480",
         "30000/1001",
         "yuv420p",
         "svcd",
         {"v=mpeg2video", "a=mp2"},
         "18",
         "44100",
         "<none>"},
        {"ntsc-dv50", "720x480", "30000/1001", "yuv422p", "dv", {}, "<none>", "48000", "2"},
        {"pal-dv50", "720x576", "25", "yuv422p", "dv", {}, "<none>", "48000", "2"},
        {"ntsc-dv", "720x480", "30000/1001", "yuv411p", "dv", {}, "<none>", "48000", "2"},
        {"pal-dv", "720x576", "25", "yuv420p", "dv", {}, "<none>", "48000", "2"},
        {"film-dvcam", "720x480", "24000/1001", "yuv411p", "dv", {}, "<none>", "48000", "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        NextFile();
        ASSERT_EQ(Parse("-target " + c.target), 0) << task_.LastError;
        EXPECT_EQ(Last(ctx_.frame_sizes), c.size);
        EXPECT_EQ(Last(ctx_.frame_rates), c.rate);
        EXPECT_EQ(Last(ctx_.pixel_formats), c.pix_fmt);
        EXPECT_EQ(ctx_.format, c.format);
        EXPECT_EQ(Occurrences(ctx_.codec_names), c.codecs);
        EXPECT_EQ(CodecOption("g"), c.gop);
        EXPECT_EQ(LastInt(ctx_.audio_sample_rate), c.sample_rate);
        EXPECT_EQ(LastInt(ctx_.audio_channels), c.channels);
    }
}

TEST_F(TargetOptionTest, RateControlAndMuxerSettingsByTarget) {
    ASSERT_EQ(Parse("-target pal-dvd"), 0) << task_.LastError;
    EXPECT_EQ(CodecOption("b:v"), "6000000");
    EXPECT_EQ(CodecOption("maxrate"), "9000000");
    EXPECT_EQ(CodecOption("minrate"), "0");
    EXPECT_EQ(CodecOption("bufsize"), "1835008");
    EXPECT_EQ(CodecOption("b:a"), "448000");
    EXPECT_EQ(FormatOption("packetsize"), "2048");
    EXPECT_EQ(FormatOption("muxrate"), "10080000");
    EXPECT_EQ(ctx_.mux_preload, 0.0f);

    NextFile();
    ASSERT_EQ(Parse("-target ntsc-vcd"), 0) << task_.LastError;
    EXPECT_EQ(CodecOption("b:v"), "1150000");
    EXPECT_EQ(CodecOption("minrate"), "1150000");
    EXPECT_EQ(CodecOption("bufsize"), "327680");
    EXPECT_EQ(CodecOption("b:a"), "224000");
    EXPECT_EQ(FormatOption("packetsize"), "2324");
    EXPECT_EQ(FormatOption("muxrate"), "1411200");
    EXPECT_FLOAT_EQ(ctx_.mux_preload, 0.44f);

    NextFile();
    ASSERT_EQ(Parse("-target pal-svcd"), 0) << task_.LastError;
    EXPECT_EQ(CodecOption("scan_offset"), "1");
    EXPECT_EQ(CodecOption("maxrate"), "2516000");
    EXPECT_EQ(FormatOption("muxrate"), "<none>");

    // Options after -target override what it set: the last occurrence wins.
    NextFile();
    ASSERT_EQ(Parse("-target pal-dvd -s 352x288"), 0) << task_.LastError;
    EXPECT_EQ(Last(ctx_.frame_sizes), "352x288");
}

TEST_F(TargetOptionTest, NormIsGuessedFromTheFirstVideoInput) {
    const std::filesystem::path ntsc = media().dir / "ntsc.mp4";
    if (!std::filesystem::exists(ntsc)) {
        RunFfmpeg("-f lavfi -i testsrc=size=64x48:rate=30000/1001:duration=0.3 -c:v mpeg4 " +
                  ShellQuote(ntsc.string()));
    }
    // Audio first, then NTSC video, then PAL video: the NTSC stream decides.
    ASSERT_EQ(Open(media().tone10), 0) << task_.LastError;
    ASSERT_EQ(Open(ntsc), 1) << task_.LastError;
    ASSERT_EQ(Open(media().video_audio), 2) << task_.LastError;
    NextFile();
    ASSERT_EQ(Parse("-target dvd"), 0) << task_.LastError;
    EXPECT_EQ(Last(ctx_.frame_sizes), "720x480");
    EXPECT_EQ(Last(ctx_.frame_rates), "30000/1001");
    EXPECT_TRUE(log_.Has(llInfo, "Assuming NTSC for target."));
}

TEST_F(TargetOptionTest, PalVideoInputGivesPal) {
    ASSERT_EQ(Open(media().video_audio), 0) << task_.LastError;
    NextFile();
    ASSERT_EQ(Parse("-target dv"), 0) << task_.LastError;
    EXPECT_EQ(Last(ctx_.frame_sizes), "720x576");
    EXPECT_EQ(Last(ctx_.pixel_formats), "yuv420p");
    EXPECT_TRUE(log_.Has(llInfo, "Assuming PAL for target."));
}

TEST_F(TargetOptionTest, NoVideoInputMeansNoNorm) {
    const std::string message =
        "Could not determine norm (PAL/NTSC/NTSC-Film) for target.\nPlease prefix target with "
        "\"pal-\", \"ntsc-\" or \"film-\",\nor set a framerate with \"-r xxx\".";
    // No input at all, then an audio-only input.
    EXPECT_THROW(Parse("-target dvd"), FFmpegException);
    EXPECT_EQ(task_.LastError, message);
    ASSERT_EQ(Open(media().tone10), 0) << task_.LastError;
    NextFile();
    task_.LastError.clear();
    EXPECT_THROW(Parse("-target dvd"), FFmpegException);
    EXPECT_EQ(task_.LastError, message);
    EXPECT_TRUE(ctx_.frame_sizes.empty());
}

TEST_F(TargetOptionTest, UnknownTargetsAreRefused) {
    ASSERT_EQ(Open(media().video_audio), 0) << task_.LastError;
    for (const std::string target : {"pal-cd", "bluray", "PAL-dvd", "DVD"}) {
        SCOPED_TRACE(target);
        NextFile();
        log_.Clear();
        EXPECT_EQ(Parse("-target " + target), AVERROR(EINVAL));
        const std::string name = target.rfind("pal-", 0) == 0 ? target.substr(4) : target;
        EXPECT_TRUE(log_.Has(llError, "Unknown target: " + name));
        EXPECT_EQ(task_.LastError.rfind("Unknown target: " + name, 0), 0u) << task_.LastError;
        EXPECT_TRUE(ctx_.frame_sizes.empty());
    }
}

}  // namespace
}  // namespace tavrin::testing

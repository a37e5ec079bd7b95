// The format listing with encoders this build lacks (through the encoder test
// and container lookup seams), and the JSON strings of the dry run.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/cli/json_writer.h"
#include "app/cli/merge_listings.h"
#include "app/core/format_listing.h"

namespace tavrin::testing {
namespace {

// Containers as FFmpeg names them, with fixed defaults.
TContainerFacts FakeContainer(std::string_view forced, std::string_view fileName) {
    if (!forced.empty()) {
        return {std::string(forced), "flv", "libmp3lame"};
    }
    const std::string name(fileName);
    return {name.substr(name.rfind('.') + 1), "mpeg4", "mp2"};
}

TEST(FormatListingTest, MarksTheEncodersThisBuildLacks) {
    const std::set<std::string> missing = {"libvpx", "aac", "libfaac", "libopencore_amrnb", "mp2"};
    const EncoderTest has = [&](std::string_view name) {
        return missing.count(std::string(name)) == 0;
    };
    const auto formats = DescribeFormats(has, FakeContainer);
    ASSERT_EQ(formats.size(), 17u);
    const struct {
        std::size_t index;
        const char* name;
        const char* container;
        const char* video;
        bool video_found;
        const char* audio;
        bool audio_found;
    } cases[] = {
        {0, "3GP", "3gp", "h263", true, "aac", false},   // AAC, as no AMR-NB encoder exists
        {1, "AVI", "avi", "mpeg4", true, "mp2", false},  // the container's defaults
        {2, "FLV", "flv", "flv", true, "libmp3lame", true},
        {6, "MP4", "mp4", "mpeg4", true, "aac", false},  // the video codec of its extra options
        {13, "WebM", "webm", "libvpx", false, "libvorbis", true},
        {14, "M1V", "mpg", "mpeg1video", true, "mp2", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TFormatCodecs& format = formats[c.index];
        EXPECT_EQ(format.Name, c.name);
        EXPECT_EQ(format.Container, c.container);
        EXPECT_EQ(format.VideoCodec, c.video);
        EXPECT_EQ(format.VideoEncoderFound, c.video_found);
        EXPECT_EQ(format.AudioCodec, c.audio);
        EXPECT_EQ(format.AudioEncoderFound, c.audio_found);
    }

    const std::string text = cli::FormatListText(formats);
    EXPECT_NE(text.find("\nWebM      webm       libvpx (missing)  libvorbis\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\nFLV       flv        flv               libmp3lame\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\n\n(missing): the media libraries on this machine have no such encoder"),
              std::string::npos)
        << text;
}

TEST(FormatListingTest, NoteOnlyWhenAnEncoderIsMissing) {
    const auto formats = DescribeFormats([](std::string_view) { return true; }, FakeContainer);
    const std::string text = cli::FormatListText(formats);
    EXPECT_EQ(text.find("missing"), std::string::npos) << text;
    // 3GP leaves its sound to the container ("-f 3gp") when an AMR-NB
    // encoder exists, and MP4 takes libfaac when there is one.
    EXPECT_EQ(formats[0].AudioCodec, "libmp3lame");
    EXPECT_EQ(formats[6].AudioCodec, "libfaac");
}

TEST(JsonWriterTest, QuotesTextAndSeparatesValues) {
    const struct {
        std::string text;
        std::string quoted;
    } cases[] = {
        {"plain", R"("plain")"},
        {R"(say "hi" \ there)", R"("say \"hi\" \\ there")"},
        {"line\nbreak\ttab\x01\x7f", R"("line\nbreak\ttab\u0001\u007f")"},
        {"\xc3\xa9t\xc3\xa9 \xf0\x9f\x8e\xb5", "\"\xc3\xa9t\xc3\xa9 \xf0\x9f\x8e\xb5\""},
        // Bytes that are not UTF-8 (a lone continuation, a cut sequence, an
        // encoded surrogate) keep their value as \udcXX.
        {"a\x80z", R"("a\udc80z")"},
        {"\xc3", R"("\udcc3")"},
        {"\xed\xa0\x80", R"("\udced\udca0\udc80")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cli::JsonQuote(c.text), c.quoted) << c.text;
    }

    cli::JsonWriter json;
    json.BeginObject().Key("a").Integer(-1).Key("b").BeginArray();
    json.BeginObject().Key("c").Null().EndObject().Bool(true).String("x").EndArray();
    json.Key("d").BeginObject().EndObject().EndObject();
    EXPECT_EQ(json.Text(), R"({"a":-1,"b":[{"c":null},true,"x"],"d":{}})");
}

}  // namespace
}  // namespace tavrin::testing

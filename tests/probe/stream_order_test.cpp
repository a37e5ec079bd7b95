// Which stream the decoder reports first of each kind when a file holds
// several of a kind, or its sound before its picture: the first in the
// file's order, so a cover picture stored after the movie never takes the
// movie's place and sound stored first is found at index 0.
#include <gtest/gtest.h>

#include <string>

#include "probe/probe_test_support.h"

namespace tavrin::testing {
namespace {

class StreamOrderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadDecoderLibraries(); }

    std::string Q(const std::string& name) const { return ShellQuote((dir_ / name).string()); }

    TempDir dir_;
    TVEVarazez decoder_;
};

TEST_F(StreamOrderTest, TheFirstStreamOfEachKindIsTheFirstInTheFile) {
    RunFfmpeg(
        "-f lavfi -i testsrc=size=160x120:rate=10:duration=1 -f lavfi -i "
        "sine=frequency=200:duration=1 -c:v mpeg4 -c:a aac -ac 2 " +
        Q("movie.mp4"));
    RunFfmpeg("-f lavfi -i testsrc=size=64x48:duration=1 -frames:v 1 " + Q("thumb.png"));
    const struct {
        const char* name;
        std::string made_from;  // ffmpeg's arguments before the file name
        int first_video;
        int first_audio;
        int videos;
        int audios;
    } cases[] = {
        {"cover.mp4",
         "-i " + Q("movie.mp4") + " -i " + Q("thumb.png") +
             " -map 0 -map 1 -c:v:0 copy -c:a copy -c:v:1 png -disposition:v:1 attached_pic",
         0, 1, 2, 1},
        {"soundfirst.mp4", "-i " + Q("movie.mp4") + " -map 0:a -map 0:v -c copy", 1, 0, 1, 1},
        // Two pictures of one size and two stereo tracks: the first of each.
        {"twins.mkv", "-i " + Q("movie.mp4") + " -map 0:v -map 0:v -map 0:a -map 0:a -c copy", 0, 2,
         2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(RunFfmpeg(c.made_from + " " + Q(c.name)));
        ASSERT_TRUE(decoder_.LoadFile((dir_ / c.name).string())) << decoder_.LastErrorText();
        EXPECT_EQ(decoder_.FirstVideoStreamIndex(), c.first_video);
        EXPECT_EQ(decoder_.FirstAudioStreamIndex(), c.first_audio);
        EXPECT_EQ(decoder_.VideoStreamCount(), c.videos);
        EXPECT_EQ(decoder_.AudioStreamCount(), c.audios);
        // What the decoder reports as the video is the movie.
        TVideoStreamInfo video;
        decoder_.GetVideoStreamInfo(video);
        EXPECT_EQ(video.Width, 160);
        EXPECT_EQ(video.Height, 120);
        decoder_.CloseFile();
    }
}

}  // namespace
}  // namespace tavrin::testing

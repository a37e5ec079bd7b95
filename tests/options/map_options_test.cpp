// -map and -map_channel against two opened inputs: input 0 a video with
// (mono) audio, input 1 a stereo wav.
#include <string>
#include <vector>

#include "media/runtime/ffmpeg_exception.h"
#include "options/input_test_support.h"

namespace tavrin::testing {
namespace {

using Strings = std::vector<std::string>;

class MapOptionsTest : public InputTaskTest {
protected:
    void SetUp() override {
        InputTaskTest::SetUp();
        ASSERT_EQ(Open(media().video_audio), 0) << task_.LastError;
        ASSERT_EQ(Open(media().stereo_wav), 1) << task_.LastError;
        NextFile();  // the output's options context
    }

    // "file:stream>syncfile:syncstream", "[label]" for a filtergraph output,
    // with " off" for a disabled entry.
    Strings Maps() const {
        Strings out;
        for (const StreamMap& map : ctx_.stream_maps) {
            std::string text = !map.link_label.empty()
                                   ? "[" + map.link_label + "]"
                                   : std::to_string(map.file_index) + ":" +
                                         std::to_string(map.stream_index) + ">" +
                                         std::to_string(map.sync_file_index) + ":" +
                                         std::to_string(map.sync_stream_index);
            out.push_back(map.disabled != 0 ? text + " off" : text);
        }
        return out;
    }
    Strings ChannelMaps() const {
        Strings out;
        for (const AudioChannelMap& m : ctx_.channel_maps) {
            out.push_back(std::to_string(m.file_idx) + "." + std::to_string(m.stream_idx) + "." +
                          std::to_string(m.channel_idx) + ">" + std::to_string(m.out_file_idx) +
                          "." + std::to_string(m.out_stream_idx));
        }
        return out;
    }
};

TEST_F(MapOptionsTest, MapsSelectStreamsOfTheOpenedInputs) {
    struct Case {
        std::string options;
        Strings maps;
    };
    const std::vector<Case> cases = {
        {"-map 0", {"0:0>0:0", "0:1>0:1"}},
        {"-map 0 -map -0:a", {"0:0>0:0", "0:1>0:1 off"}},
        {"-map 0:v,1:a", {"0:0>1:0"}},
        {"-map 0,1", {"0:0>1:0", "0:1>1:0"}},
        {"-map [out]", {"[out]"}},
        {"-map \"[a b]\"", {"[a b]"}},
        {"-map 1:a -map 0:v", {"1:0>1:0", "0:0>0:0"}},
        {"-map 0x1", {"1:0>1:0"}},
        // A negative map that matches none of the entries passes silently;
        // one of another file leaves them alone.
        {"-map 0:v -map -0:a", {"0:0>0:0"}},
        {"-map 0 -map -1", {"0:0>0:0", "0:1>0:1"}},
        // Entries of a filtergraph output are never disabled by a file's map.
        {"-map [out] -map 0:a -map -0", {"[out]", "0:1>0:1 off"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        NextFile();
        ASSERT_EQ(Parse(c.options), 0) << task_.LastError;
        EXPECT_EQ(Maps(), c.maps);
    }
    // The label of an entry is given without its brackets and no file.
    NextFile();
    ASSERT_EQ(Parse("-map [out]"), 0);
    EXPECT_EQ(ctx_.stream_maps[0].link_label, "out");
    EXPECT_EQ(ctx_.stream_maps[0].file_index, -1);
}

TEST_F(MapOptionsTest, BadMapsAreRaised) {
    struct Case {
        std::string options;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"-map 2", "Invalid input file index: 2."},
        {"-map -1:a", "Stream map \"-1:a\" matches no streams."},
        {"-map 0:s", "Stream map \"0:s\" matches no streams."},
        {"-map 1:v", "Stream map \"1:v\" matches no streams."},
        {"-map 0:zz", "Stream map \"0:zz\" matches no streams."},
        {"-map 0:v,5", "Invalid sync file index: 5."},
        {"-map 0:v,-1", "Invalid sync file index: -1."},
        {"-map 0:v,1:v", "Sync stream specification in map 0:v,1:v does not match any streams."},
        {"-map []", "Invalid output link label: []."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        // Raised errors leave the parse in strict and non-strict tasks alike.
        for (const bool strict : {true, false}) {
            NextFile();
            task_.LastError.clear();
            task_.StrictOptions = strict;
            EXPECT_THROW(Parse(c.options), FFmpegException);
            EXPECT_EQ(task_.LastError, c.error);
            EXPECT_TRUE(log_.Has(llFatal, c.error));
        }
    }
}

TEST_F(MapOptionsTest, ChannelMapsSelectAudioChannels) {
    struct Case {
        std::string options;
        Strings maps;
    };
    const std::vector<Case> cases = {
        {"-map_channel -1", {"-1.-1.-1>-1.-1"}},
        {"-map_channel -1:0.1", {"-1.-1.-1>0.1"}},
        {"-map_channel 1.0.1", {"1.0.1>-1.-1"}},
        {"-map_channel 1.0.0:0.1 -map_channel 0.1.0", {"1.0.0>0.1", "0.1.0>-1.-1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        NextFile();
        ASSERT_EQ(Parse(c.options), 0) << task_.LastError;
        EXPECT_EQ(ChannelMaps(), c.maps);
    }
}

TEST_F(MapOptionsTest, BadChannelMapsAreRaisedAfterTheEntryIsAppended) {
    const std::string usage =
        "Syntax error, mapchan usage: [file.stream.channel|-1][:syncfile:syncstream]";
    struct Case {
        std::string argument;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"1.0", usage},
        {"1.0.0:0", usage},
        {"-5", usage},
        {"left", usage},
        {"2.0.0", "mapchan: invalid input file index: 2"},
        {"-2.0.0", "mapchan: invalid input file index: -2"},
        {"0.5.0", "mapchan: invalid input file stream index #0.5"},
        {"0.0.0", "mapchan: stream #0.0 is not an audio stream."},
        {"1.0.2", "mapchan: invalid audio channel #1.0.2"},
        {"0.1.1", "mapchan: invalid audio channel #0.1.1"},
        {"1.0.-1", "mapchan: invalid audio channel #1.0.-1"},
        {"99999999999.0.0", "mapchan: invalid input file index: 2147483647"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        NextFile();
        EXPECT_THROW(Parse("-map_channel " + c.argument), FFmpegException);
        EXPECT_EQ(task_.LastError, c.error);
        EXPECT_EQ(ctx_.channel_maps.size(), 1u);
    }
}

}  // namespace
}  // namespace tavrin::testing

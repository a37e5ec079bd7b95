// The container and audio encoder of the "Original" format: the video stream
// is copied, so the output takes the video file's own container when that can
// carry the copied video with sound this build can encode, else Matroska.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/core/merge_plan.h"

namespace tavrin {

struct TOriginalOutput {
    std::string Muxer;         // for " -f "
    std::string Suffix;        // the output file's ending, ".mp4"
    std::string AudioEncoder;  // "aac", "libmp3lame", ...
};

// The output of "Original" for a video read by the demuxer `containerName`
// from `videoFile` (its extension tells mp4 from mov, mkv from webm).
// `note` says why Matroska was taken instead of the video's own container;
// nullopt with the reason in `errorText` when no container can carry the
// video codec. An empty muxer test takes every container to carry every codec.
std::optional<TOriginalOutput> ChooseOriginalOutput(std::string_view containerName,
                                                    std::string_view videoFile,
                                                    std::string_view videoCodec,
                                                    const EncoderTest& hasEncoder,
                                                    const MuxerTest& muxerCarries,
                                                    std::string& note, std::string& errorText);

}  // namespace tavrin

// The records the decoder component reports about an opened file: container
// values, and one record per audio or video stream. Times marked "us" are
// microseconds; "raw" times are in the stream's own time base.
#pragma once

#include <cstdint>
#include <string>

#include "media/runtime/ff_headers.h"

namespace tavrin {

struct TFileStreamInfo {
    int64_t StartTime = AV_NOPTS_VALUE;  // us; AV_NOPTS_VALUE when unknown
    int64_t Duration = -1;               // us; -1 when unknown
    int32_t BitRate = -1;                // bit/s as the container reports it, 0 = unknown
    int32_t Year = -1;
    int32_t Track = -1;
    std::string Title;
    std::string Author;
    std::string Copyright;
    std::string Comment;
    std::string Album;
    std::string Genre;
};

struct TAudioStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StreamStartTime = -1;  // raw
    int64_t StartTime = -1;        // us
    int64_t StreamDuration = -1;   // raw
    int64_t Duration = -1;         // us
    int32_t BitRate = -1;
    int32_t Channels = -1;
    int32_t SampleRate = -1;    // Hz
    int32_t SampleFormat = -1;  // AVSampleFormat code
};

struct TVideoStreamInfo {
    std::string Language;
    std::string CodecName;
    int64_t StreamStartTime = -1;  // raw
    int64_t StartTime = -1;        // us
    int64_t StreamDuration = -1;   // raw
    int64_t Duration = -1;         // us
    int32_t BitRate = -1;
    int32_t Height = -1;
    int32_t Width = -1;
    float SampleAspectRatioValue = -1.0f;
    float DisplayAspectRatioValue = -1.0f;
    AVRational SampleAspectRatio{0, 1};
    AVRational DisplayAspectRatio{0, 1};
    int32_t PixelFormat = -1;  // AVPixelFormat code
    AVRational FrameRate{0, 1};
};

}  // namespace tavrin

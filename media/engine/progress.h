// Progress of a running task and the records its owner receives: the status
// line, the key=value progress text of -progress, the progress callback, the
// final byte statistics, and the termination record.
//
// report_progress itself is a member of TCustomFFmpeg (it reads the task's
// callback, interval and histogram); this header holds the records, the
// callback type and the capture of the encoder's picture statistics.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "media/options/transcode_context.h"

namespace tavrin {

class TCustomFFmpeg;

// What the encoder component hands to OnProgress (by pointer).
struct TProgressInfo {
    std::int32_t TaskIndex = 0;
    // The joined input being read (0 without a join); -1 in the final report.
    std::int32_t FileIndex = 0;
    // Frames written by the counted video stream; -1 without one.
    std::int32_t Frame = -1;
    // Frames per second since the loop started; 0 in the first second, -1
    // without a counted video stream.
    std::int32_t FPS = -1;
    // Quantiser of the last output stream's latest picture; -1 when unknown.
    float Quality = -1;
    // Kilobits per second; -1 when unknown.
    float BitRate = -1;
    // Bytes of the first output file so far; 0 when unknown.
    std::int64_t CurrentSize = 0;
    // Output time reached, microseconds.
    std::int64_t CurrentDuration = 0;
    // The task's expected duration, microseconds; -1 when unknown.
    std::int64_t TotalDuration = -1;
};
using PProgressInfo = TProgressInfo*;

// What the encoder component hands to OnTerminate (by value). TaskIndex -1
// marks the notice that ends a whole run.
struct TTerminateInfo {
    std::int32_t TaskIndex = 0;
    bool Finished = false;
    bool Exception = false;
    std::string ExceptionMsg;
};

// Called on the task's thread; the parameters follow the TProgressInfo fields
// after TaskIndex.
using TProgressCallback =
    std::function<void(TCustomFFmpeg& sender, std::int32_t file_index, std::int32_t frame,
                       std::int32_t fps, float quality, float bit_rate, std::int64_t current_size,
                       std::int64_t current_duration, std::int64_t total_duration)>;

// The clock of the loop's step times and of the progress interval: steady,
// in microseconds.
inline std::int64_t ProgressClockMicroseconds() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Lambda units per quantiser step of the encoders' quality values.
inline constexpr float kQualityPerQuantiser = 118.0f;

// Keeps the encoder's statistics of the picture `packet` carries (its
// quality side data) on `ost`, for the progress report and -vstats. Packets
// without them leave the previous picture's values.
void note_coded_picture(OutputStream& ost, const AVPacket& packet);

// The quantiser of the stream's latest coded picture, -1 for a stream copy
// or before the encoder reported a picture.
float CodedPictureQuantiser(const OutputStream& ost);

// The byte statistics line of the final report.
std::string FinalStatisticsText(std::int64_t video_size, std::int64_t audio_size,
                                std::int64_t subtitle_size, std::int64_t extra_size,
                                std::int64_t total_size);

}  // namespace tavrin

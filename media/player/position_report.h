// The position the player reports, decided from the clocks: the pure part of
// the refresh loop's position reporting.
#pragma once

#include <cstdint>
#include <optional>

namespace tavrin {

// Reports closer together than this (µs) collapse into one.
inline constexpr int64_t kPositionReportStep = 20000;

struct TPositionInput {
    double clock_seconds;     // the audio or video clock; NaN when unknown
    int64_t start_time;       // the file's start time in µs (0 when unknown)
    int64_t file_duration;    // µs, -1 when unknown
    int64_t stream_duration;  // the audio stream's own duration (audio clock only), -1 unknown
    int64_t last_reported;    // AV_NOPTS_VALUE when nothing was reported yet
};

struct TPositionDecision {
    int64_t position;       // the current position
    int64_t last_reported;  // the new last reported position
    bool report;            // post a position event
};

// Nothing when the clock is unknown.
std::optional<TPositionDecision> DecidePosition(const TPositionInput& input);

// The end of the play range in µs, or nothing when no length is set.
std::optional<int64_t> PlayRangeEnd(int64_t start_position, int64_t play_length);

}  // namespace tavrin

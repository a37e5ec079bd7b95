#include "media/player/position_report.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

extern "C" {
#include <libavutil/avutil.h>
}

namespace tavrin {

std::optional<TPositionDecision> DecidePosition(const TPositionInput& input) {
    if (std::isnan(input.clock_seconds)) {
        return std::nullopt;
    }
    // Before the device has played the first sound the clock, less the
    // device's buffering, lies before the start.
    int64_t position =
        std::max<int64_t>(0, std::llround(input.clock_seconds * 1000000.0) - input.start_time);
    const bool duration_known = input.file_duration > 0;
    // The audio stream may end a little before the file: its end is the end.
    if (input.stream_duration > 0 && position >= input.stream_duration && duration_known &&
        position < input.file_duration) {
        position = input.file_duration;
    }
    int64_t last_reported = input.last_reported;
    if (duration_known && position >= input.file_duration) {
        position = input.file_duration;
        if (last_reported != input.file_duration) {
            last_reported = 0;  // so that the end is reported
        }
    }
    const bool report = last_reported == AV_NOPTS_VALUE ||
                        std::llabs(position - last_reported) > kPositionReportStep;
    return TPositionDecision{position, report ? position : last_reported, report};
}

std::optional<int64_t> PlayRangeEnd(int64_t start_position, int64_t play_length) {
    if (play_length == AV_NOPTS_VALUE) {
        return std::nullopt;
    }
    return start_position == AV_NOPTS_VALUE ? play_length : start_position + play_length;
}

}  // namespace tavrin

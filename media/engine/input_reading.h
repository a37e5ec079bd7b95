// Reading one packet of an input file and correcting its time stamps, and
// moving a joined task from one finished input to the next. The entry points
// the loop uses are declared in pipeline.h; the arithmetic is exposed here so
// that it can be checked on its own.
#pragma once

#include <cstdint>

#include "media/engine/pipeline.h"

namespace tavrin {

// Undoes a wrap-around of stamps kept in `wrap_bits` bits: a stamp more than
// half the range after `start` (the file's start in the stream's time base)
// is moved back by one full range. Returns true when a stamp was moved.
bool CorrectTimestampWrap(std::int64_t start, int wrap_bits, std::int64_t& dts, std::int64_t& pts);

// Multiplies a set stamp by `scale`, to the nearest integer; a scale of
// exactly 1 leaves it untouched.
std::int64_t ScaleTimestamp(std::int64_t stamp, double scale);

// The discontinuity test of formats whose stamps may jump: true when the
// packet's decoding time (microseconds) is beyond the threshold from the
// prediction, or before the stream's current presentation time.
bool IsTimestampDiscontinuity(std::int64_t delta, double threshold_seconds, bool is_subtitle,
                              std::int64_t packet_dts_us, std::int64_t stream_pts_us);

// The test of other formats: true when a stamp is too far from the
// prediction to be believed.
bool IsTimestampInvalid(std::int64_t delta, double threshold_seconds, bool is_subtitle);

}  // namespace tavrin

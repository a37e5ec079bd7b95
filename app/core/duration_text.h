// Durations as the windows and the log show them.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin {

// "hh:mm:ss.zzz" of a time in microseconds; hours do not wrap at 24.
// 0 gives "00:00:00.000", 3723004000 gives "01:02:03.004".
std::string FormatDuration(std::int64_t microseconds);

}  // namespace tavrin

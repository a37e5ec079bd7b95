#include "app/core/duration_text.h"

#include <cstdio>

namespace tavrin {

std::string FormatDuration(std::int64_t microseconds) {
    const std::int64_t seconds = microseconds / 1000000;
    const long long hours = seconds / 60 / 60;
    const long long minutes = (seconds / 60) % 60;
    const long long secondsOfMinute = seconds % 60;
    const long long milliseconds = (microseconds % 1000000) * 1000 / 1000000;
    char text[64];
    std::snprintf(text, sizeof text, "%.2lld:%.2lld:%.2lld.%.3lld", hours, minutes, secondsOfMinute,
                  milliseconds);
    return text;
}

}  // namespace tavrin

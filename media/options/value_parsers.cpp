#include "media/options/value_parsers.h"

#include <charconv>
#include <cmath>
#include <mutex>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {

namespace {

[[noreturn]] void RaiseExpected(const char* kind, const std::string& option,
                                const std::string& text) {
    throw FFmpegException("Expected " + std::string(kind) + " for \"" + option + "\" but found \"" +
                          text + "\"");
}

// Leading blanks are tolerated, as the platform conversions did; a leading
// "+" is accepted, everything after the number must be absent.
std::string_view NumberPart(const std::string& text) {
    std::string_view view(text);
    while (!view.empty() && (view.front() == ' ' || view.front() == '\t')) {
        view.remove_prefix(1);
    }
    if (view.size() > 1 && view.front() == '+' && view[1] != '-' && view[1] != '+') {
        view.remove_prefix(1);
    }
    return view;
}

template <typename T>
bool ConvertWhole(const std::string& text, T& value) {
    const std::string_view view = NumberPart(text);
    if (view.empty()) {
        return false;
    }
    const char* end = view.data() + view.size();
    std::from_chars_result result;
    if constexpr (std::is_floating_point_v<T>) {
        result = std::from_chars(view.data(), end, value, std::chars_format::general);
        if (result.ec == std::errc() && !std::isfinite(value)) {
            return false;  // "inf" and "nan" are no numbers an option takes
        }
    } else {
        result = std::from_chars(view.data(), end, value, 10);
    }
    return result.ec == std::errc() && result.ptr == end;
}

std::mutex pending_error_lock;
std::string& PendingErrorStorage() {
    static std::string text;
    return text;
}

}  // namespace

std::int32_t ParseInteger(const std::string& option, const std::string& text) {
    std::int32_t value = 0;
    if (!ConvertWhole(text, value)) {
        RaiseExpected("integer", option, text);
    }
    return value;
}

std::int64_t ParseInt64(const std::string& option, const std::string& text) {
    std::int64_t value = 0;
    if (!ConvertWhole(text, value)) {
        RaiseExpected("int64", option, text);
    }
    return value;
}

float ParseFloat(const std::string& option, const std::string& text) {
    float value = 0.0f;
    if (!ConvertWhole(text, value)) {
        RaiseExpected("float", option, text);
    }
    return value;
}

double ParseDouble(const std::string& option, const std::string& text) {
    double value = 0.0;
    if (!ConvertWhole(text, value)) {
        RaiseExpected("double", option, text);
    }
    return value;
}

std::int64_t ParseTime(const std::string& option, const std::string& text, bool is_duration) {
    std::int64_t value = 0;
    if (ff.av_parse_time(&value, text.c_str(), is_duration ? 1 : 0) < 0) {
        throw FFmpegException("Invalid " + std::string(is_duration ? "duration" : "date") +
                              " specification for \"" + option + "\": \"" + text + "\"");
    }
    return value;
}

std::string PendingErrorText() {
    const std::lock_guard lock(pending_error_lock);
    return PendingErrorStorage();
}

void SetPendingErrorText(const std::string& text) {
    const std::lock_guard lock(pending_error_lock);
    PendingErrorStorage() = text;
}

void ClearPendingErrorText() {
    const std::lock_guard lock(pending_error_lock);
    PendingErrorStorage().clear();
}

}  // namespace tavrin

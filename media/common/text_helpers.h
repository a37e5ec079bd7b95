// Small text and time helpers shared by the engine, the decoder component and
// the player, plus the array-growing helper and a whole-file reader.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "media/runtime/ff_headers.h"
#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {

// The dictionary's value for the key, else `default_value`.
std::string MetadataValue(const AVDictionary* dict, const std::string& key,
                          const std::string& default_value);

// "name" or "name(long name)" of the encoder/decoder registered for the
// context's codec id; fallbacks when there is none (see the implementation).
std::string CodecDisplayName(const AVCodecContext* ctx, bool encoder);

// "Video", "Audio", "Data", "Subtitle", "Attachment" for types 0..4, else "Unknown".
std::string MediaTypeName(int type);

// "hh:mm:ss.mmm" of microseconds (rounded to 1/100 s first), "N/A" for AV_NOPTS_VALUE.
std::string FormatTimestamp(std::int64_t microseconds);
// As FormatTimestamp for a value in the given time base.
std::string FormatStreamTime(std::int64_t value, AVRational time_base);
// Microseconds per frame; 40000 (25 fps) when the rate is not usable.
std::int64_t FrameDuration(AVRational frame_rate);

// "UTC" or "UTC+hh:mm" / "UTC-hh:mm": the local zone's current offset from UTC.
std::string UtcOffsetText();
// Days since 1899-12-30 (local time) of a Unix time in seconds.
double UnixToLocalDateTime(std::int64_t seconds);

constexpr std::uint32_t MakeTag(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return static_cast<std::uint32_t>(a) | (static_cast<std::uint32_t>(b) << 8) |
           (static_cast<std::uint32_t>(c) << 16) | (static_cast<std::uint32_t>(d) << 24);
}

// Grows `array` to `new_count` zero-filled (value-initialised) elements;
// unchanged when it already has that many. Raises "Array too big." when the
// count would not fit a 32-bit size, "Could not alloc buffer." when memory runs out.
template <typename T>
std::vector<T>& GrowArray(std::vector<T>& array, std::size_t new_count) {
    if (new_count >= static_cast<std::size_t>(INT_MAX) / sizeof(T)) {
        throw FFmpegException("Array too big.");
    }
    if (array.size() >= new_count) {
        return array;
    }
    try {
        array.resize(new_count);
    } catch (const std::bad_alloc&) {
        throw FFmpegException("Could not alloc buffer.");
    } catch (const std::length_error&) {
        throw FFmpegException("Could not alloc buffer.");
    }
    return array;
}

// Reads a whole file into `buffer`, followed by a zero byte that
// buffer.size() counts. 0, or a negative code with the reason logged:
// -1 cannot open or not a regular file, -5 I/O error, -12 out of memory,
// AVERROR_EOF short read.
int ReadWholeFile(const std::string& name, std::vector<char>& buffer);

}  // namespace tavrin

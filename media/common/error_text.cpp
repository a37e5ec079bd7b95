#include "media/common/error_text.h"

#include <string.h>  // strerrordesc_np

#include <array>
#include <cerrno>
#include <climits>
#include <utility>

#include "media/runtime/ff_headers.h"

namespace tavrin {

namespace {

struct ErrorRow {
    int code;
    const char* message;
};

// The libraries' own codes.
constexpr std::array kLibraryErrors{
    ErrorRow{AVERROR_BSF_NOT_FOUND, "Bitstream filter not found"},
    ErrorRow{AVERROR_BUG, "Internal bug, should not have happened"},
    ErrorRow{AVERROR_BUG2, "Internal bug, should not have happened"},
    ErrorRow{AVERROR_BUFFER_TOO_SMALL, "Buffer too small"},
    ErrorRow{AVERROR_DECODER_NOT_FOUND, "Decoder not found"},
    ErrorRow{AVERROR_DEMUXER_NOT_FOUND, "Demuxer not found"},
    ErrorRow{AVERROR_ENCODER_NOT_FOUND, "Encoder not found"},
    ErrorRow{AVERROR_EOF, "End of file"},
    ErrorRow{AVERROR_EXIT, "Immediate exit requested"},
    ErrorRow{AVERROR_EXTERNAL, "Generic error in an external library"},
    ErrorRow{AVERROR_FILTER_NOT_FOUND, "Filter not found"},
    ErrorRow{AVERROR_INVALIDDATA, "Invalid data found when processing input"},
    ErrorRow{AVERROR_MUXER_NOT_FOUND, "Muxer not found"},
    ErrorRow{AVERROR_OPTION_NOT_FOUND, "Option not found"},
    ErrorRow{AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg, patches welcome"},
    ErrorRow{AVERROR_PROTOCOL_NOT_FOUND, "Protocol not found"},
    ErrorRow{AVERROR_STREAM_NOT_FOUND, "Stream not found"},
    ErrorRow{AVERROR_UNKNOWN, "Unknown error occurred"},
    ErrorRow{AVERROR_EXPERIMENTAL,
             "Requested feature is flagged experimental. Set strict_std_compliance if you really "
             "want to use it."},
};

// errno values whose message this system has always used instead of the C
// library's wording.
constexpr std::array kErrnoOverrides{
    ErrorRow{ENOENT, "No such file or directory"},
    ErrorRow{EIO, "I/O error"},
    ErrorRow{ENOMEM, "Not enough space / Out of memory"},
    ErrorRow{EACCES, "Permission denied"},
};

const char* MessageOf(int code) {
    for (const ErrorRow& row : kLibraryErrors) {
        if (row.code == code) {
            return row.message;
        }
    }
    if (code >= 0 || code == INT_MIN) {
        return nullptr;
    }
    const int error_number = -code;
    for (const ErrorRow& row : kErrnoOverrides) {
        if (row.code == error_number) {
            return row.message;
        }
    }
    // The C library's English description, independent of the locale and
    // safe to call from any thread; null for numbers that are no errno value.
    return strerrordesc_np(error_number);
}

}  // namespace

std::string ErrorText(const std::string& prefix, int code) {
    const char* known = MessageOf(code);
    std::string message = known != nullptr ? std::string(known)
                                           : "Error number " + std::to_string(code) + " occurred";
    if (prefix.empty()) {
        return message;
    }
    return prefix + ": " + message;
}

}  // namespace tavrin

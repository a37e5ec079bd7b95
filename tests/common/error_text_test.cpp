#include "media/common/error_text.h"

#include <gtest/gtest.h>

#include <climits>

#include "media/runtime/ff_headers.h"

namespace tavrin {
namespace {

TEST(ErrorText, LibraryCodesErrnoValuesAndUnknownCodes) {
    const struct {
        int code;
        const char* message;
    } cases[] = {
        {AVERROR_BSF_NOT_FOUND, "Bitstream filter not found"},
        {AVERROR_BUG, "Internal bug, should not have happened"},
        {AVERROR_BUG2, "Internal bug, should not have happened"},
        {AVERROR_BUFFER_TOO_SMALL, "Buffer too small"},
        {AVERROR_DECODER_NOT_FOUND, "Decoder not found"},
        {AVERROR_DEMUXER_NOT_FOUND, "Demuxer not found"},
        {AVERROR_ENCODER_NOT_FOUND, "Encoder not found"},
        {AVERROR_EOF, "End of file"},
        {AVERROR_EXIT, "Immediate exit requested"},
        {AVERROR_EXTERNAL, "Generic error in an external library"},
        {AVERROR_FILTER_NOT_FOUND, "Filter not found"},
        {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
        {AVERROR_MUXER_NOT_FOUND, "Muxer not found"},
        {AVERROR_OPTION_NOT_FOUND, "Option not found"},
        {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg, patches welcome"},
        {AVERROR_PROTOCOL_NOT_FOUND, "Protocol not found"},
        {AVERROR_STREAM_NOT_FOUND, "Stream not found"},
        {AVERROR_UNKNOWN, "Unknown error occurred"},
        {AVERROR_EXPERIMENTAL,
         "Requested feature is flagged experimental. Set strict_std_compliance if you really "
         "want to use it."},
        {-2, "No such file or directory"},
        {-5, "I/O error"},
        {-12, "Not enough space / Out of memory"},
        {-13, "Permission denied"},
        {-22, "Invalid argument"},  // the C library's text
        {-1, "Operation not permitted"},
        {-28, "No space left on device"},
        {-10004, "Error number -10004 occurred"},  // no socket rows here
        {-11001, "Error number -11001 occurred"},
        {-100000, "Error number -100000 occurred"},
        {0, "Error number 0 occurred"},
        {22, "Error number 22 occurred"},
        {INT_MIN, "Error number -2147483648 occurred"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(ErrorText(c.code), c.message);
    }
}

TEST(ErrorText, PrefixIsJoinedWithAColon) {
    EXPECT_EQ(ErrorText("check_stream_specifier", AVERROR(EINVAL)),
              "check_stream_specifier: Invalid argument");
    EXPECT_EQ(ErrorText("", AVERROR_EOF), "End of file");
}

}  // namespace
}  // namespace tavrin

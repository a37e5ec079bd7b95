#include "app/core/opened_file_report.h"

#include <cinttypes>

#include "app/core/duration_text.h"
#include "media/probe/custom_decoder.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return std::string();
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// "  <Kind> Length: ..." or "is not preseted" when the stream's own duration
// is missing.
std::string LengthLine(const char* kind, int64_t rawDuration, int64_t duration) {
    if (rawDuration == AV_NOPTS_VALUE) {
        return StringPrintf("  %s Length is not preseted", kind);
    }
    return StringPrintf("  %s Length: %s", kind, FormatDuration(duration).c_str());
}

std::string BitRateLine(const char* kind, int32_t bitRate) {
    if (bitRate < 1) {
        return StringPrintf("  %s Bit Rate is not preseted", kind);
    }
    return StringPrintf("  %s Bit Rate: %d kb", kind, bitRate / 1000);
}

}  // namespace

std::vector<std::string> OpenedFileReportLines(TCustomDecoder& decoder) {
    std::vector<std::string> lines;
    lines.push_back("***VEVarazez.FileInfoText");
    lines.push_back(Trimmed(decoder.FileInfoText()));
    lines.push_back(std::string());
    lines.push_back(StringPrintf("File Size: %" PRId64, decoder.FileSize()));
    TFileStreamInfo file;
    decoder.GetFileStreamInfo(file);
    lines.push_back(file.Duration == -1 ? std::string("File Duration is not preseted")
                                        : "File Duration: " + FormatDuration(file.Duration));
    for (int index = 0; index < decoder.StreamCount(); ++index) {
        if (decoder.IsVideoStream(index)) {
            TVideoStreamInfo video;
            decoder.GetVideoStreamInfo(index, video);
            lines.push_back(StringPrintf("Stream #%d: Video", index));
            lines.push_back(LengthLine("Video", video.StreamDuration, video.Duration));
            const double rate =
                video.FrameRate.den != 0 ? double(video.FrameRate.num) / video.FrameRate.den : 0.0;
            lines.push_back(StringPrintf("  Video Frame Rate: %.2f", rate));
            lines.push_back(BitRateLine("Video", video.BitRate));
            lines.push_back(
                StringPrintf("  Frame size (width X height): %dx%d", video.Width, video.Height));
        } else if (decoder.IsAudioStream(index)) {
            TAudioStreamInfo audio;
            decoder.GetAudioStreamInfo(index, audio);
            lines.push_back(StringPrintf("Stream #%d: Audio", index));
            lines.push_back(LengthLine("Audio", audio.StreamDuration, audio.Duration));
            lines.push_back(StringPrintf("  Audio Sample Rate: %d hz", audio.SampleRate));
            lines.push_back(BitRateLine("Audio", audio.BitRate));
        }
    }
    return lines;
}

}  // namespace tavrin

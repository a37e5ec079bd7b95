#include "app/core/original_format.h"

#include <array>

#include "app/core/path_text.h"

namespace tavrin {

namespace {

// "AAC" stands for DefaultAacEncoder.
constexpr std::string_view kAac = "AAC";

struct ContainerRow {
    std::string_view Demuxer;    // the demuxer's name as the library reports it
    std::string_view Extension;  // "" matches any extension
    std::string_view Muxer;
    std::string_view Suffix;
    std::array<std::string_view, 3> AudioEncoders;  // the first one this build has
};

// The first matching row wins, so a family's rows by extension come before
// its catch-all row.
constexpr std::array<ContainerRow, 14> kContainers = {{
    {"mov,mp4,m4a,3gp,3g2,mj2", ".mov", "mov", ".mov", {kAac, "libmp3lame", ""}},
    {"mov,mp4,m4a,3gp,3g2,mj2", ".3gp", "3gp", ".3gp", {kAac, "", ""}},
    {"mov,mp4,m4a,3gp,3g2,mj2", ".3g2", "3g2", ".3g2", {kAac, "", ""}},
    {"mov,mp4,m4a,3gp,3g2,mj2", ".m4v", "mp4", ".m4v", {kAac, "libmp3lame", ""}},
    {"mov,mp4,m4a,3gp,3g2,mj2", "", "mp4", ".mp4", {kAac, "libmp3lame", ""}},
    {"matroska,webm", ".webm", "webm", ".webm", {"libopus", "libvorbis", ""}},
    {"matroska,webm", "", "matroska", ".mkv", {kAac, "libvorbis", "libmp3lame"}},
    {"avi", "", "avi", ".avi", {"libmp3lame", "mp2", "ac3"}},
    {"flv", "", "flv", ".flv", {kAac, "libmp3lame", ""}},
    {"mpeg", "", "vob", ".mpg", {"mp2", "ac3", ""}},
    {"mpegts", "", "mpegts", ".ts", {kAac, "mp2", "ac3"}},
    {"ogg", "", "ogg", ".ogv", {"libvorbis", "", ""}},
    {"asf", "", "asf", ".wmv", {"wmav2", "", ""}},
    {"dv", "", "dv", ".dv", {"", "", ""}},  // carries PCM only: Matroska
}};

constexpr ContainerRow kMatroska = {"", "", "matroska", ".mkv", {kAac, "libvorbis", "libmp3lame"}};

std::string LowerExtension(std::string_view file) {
    const std::string name = ExtractFileName(file);
    const auto dot = name.rfind('.');
    std::string extension = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot);
    for (char& c : extension) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return extension;
}

const ContainerRow* OwnRow(std::string_view demuxer, std::string_view videoFile) {
    const std::string extension = LowerExtension(videoFile);
    for (const auto& row : kContainers) {
        if (row.Demuxer == demuxer && (row.Extension.empty() || row.Extension == extension)) {
            return &row;
        }
    }
    return nullptr;
}

// The row's first audio encoder that exists and goes with the copied video.
std::optional<TOriginalOutput> Fit(const ContainerRow& row, std::string_view videoCodec,
                                   const EncoderTest& hasEncoder, const MuxerTest& carries) {
    for (const std::string_view listed : row.AudioEncoders) {
        if (listed.empty()) {
            continue;
        }
        const std::string encoder =
            listed == kAac ? DefaultAacEncoder(hasEncoder) : std::string(listed);
        if (hasEncoder && !hasEncoder(encoder)) {
            continue;
        }
        if (!carries || carries(row.Muxer, videoCodec, encoder)) {
            return TOriginalOutput{std::string(row.Muxer), std::string(row.Suffix), encoder};
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<TOriginalOutput> ChooseOriginalOutput(std::string_view containerName,
                                                    std::string_view videoFile,
                                                    std::string_view videoCodec,
                                                    const EncoderTest& hasEncoder,
                                                    const MuxerTest& muxerCarries,
                                                    std::string& note, std::string& errorText) {
    note.clear();
    const ContainerRow* own = OwnRow(containerName, videoFile);
    if (own != nullptr) {
        if (auto output = Fit(*own, videoCodec, hasEncoder, muxerCarries)) {
            return output;
        }
    }
    auto output = Fit(kMatroska, videoCodec, hasEncoder, muxerCarries);
    if (!output) {
        errorText = "The " + std::string(videoCodec) +
                    " video cannot be copied: neither its own container nor Matroska can carry "
                    "it with sound this build can encode.";
        return std::nullopt;
    }
    note = own == nullptr ? "Original: the video's container (" + std::string(containerName) +
                                ") is not one the merge writes; Matroska (.mkv) is used."
                          : "Original: the video's own container (" + std::string(own->Muxer) +
                                ") cannot carry its " + std::string(videoCodec) +
                                " video with sound this build can encode; Matroska (.mkv) is used.";
    return output;
}

}  // namespace tavrin

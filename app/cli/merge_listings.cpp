#include "app/cli/merge_listings.h"

#include <algorithm>
#include <array>
#include <vector>

#include "app/core/choice_lists.h"

namespace tavrin::cli {

namespace {

constexpr char kMissing[] = " (missing)";

std::string Shown(const std::string& codec, bool found) {
    if (codec.empty()) {
        return "-";
    }
    return found ? codec : codec + kMissing;
}

}  // namespace

std::string FormatListText(std::span<const TFormatCodecs> formats) {
    using Row = std::array<std::string, 4>;
    std::vector<Row> rows = {{"format", "container", "video", "audio"}};
    bool anyMissing = false;
    for (const auto& format : formats) {
        rows.push_back({std::string(format.Name), format.Container.empty() ? "-" : format.Container,
                        Shown(format.VideoCodec, format.VideoEncoderFound),
                        Shown(format.AudioCodec, format.AudioEncoderFound)});
        anyMissing = anyMissing || !format.VideoEncoderFound || !format.AudioEncoderFound;
    }
    std::array<std::size_t, 4> widths{};
    for (const Row& row : rows) {
        for (std::size_t column = 0; column < widths.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    std::string text;
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < widths.size(); ++column) {
            line += row[column];
            line.append(widths[column] + 2 - row[column].size(), ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    if (anyMissing) {
        text += std::string("\n") + (kMissing + 1) +
                ": the media libraries on this machine have no such encoder; a merge into that "
                "format fails.\n";
    }
    return text;
}

std::string SizeListText(int formatIndex) {
    std::string text;
    for (const auto entry : FrameSizeNames(FormatNameAt(formatIndex))) {
        text += std::string(entry) + "\n";
    }
    return text;
}

}  // namespace tavrin::cli

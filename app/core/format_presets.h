// What each output format sets in the final task: container options, audio
// and video parameters, codecs and the ending of the output file name.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace tavrin {

// How a preset picks its audio encoder.
enum class TAudioCodecRule {
    Fixed,            // AudioCodec as given ("" leaves it to the container)
    Aac,              // DefaultAacEncoder
    AacWithoutAmrNb,  // AAC when no "libopencore_amrnb" encoder exists, else the
                      // container's default audio encoder (AMR-NB for 3GP)
};

struct TFormatPreset {
    std::string_view Name;                         // the entry text of the format list
    std::array<std::string_view, 2> ExtraOptions;  // in order; "" entries are unused
    std::string_view Channels;
    std::string_view SampleRate;
    std::string_view FrameRate;
    TAudioCodecRule AudioRule = TAudioCodecRule::Fixed;
    std::string_view AudioCodec;
    std::string_view VideoCodec;
    std::string_view Suffix;  // "" means the recognised text, e.g. ".mkv"
};

// The text a format is recognised by: "." + its entry text in lower case.
std::string FormatKey(std::string_view formatName);

// The preset of a format list entry, or nullptr for an unknown entry.
const TFormatPreset* FindFormatPreset(std::string_view formatName);

// The ending of the output file name: the preset's suffix, else its key.
std::string OutputSuffix(const TFormatPreset& preset);

}  // namespace tavrin

// What each output format writes: its container and its video and audio
// encoders, as the final task would pick them, and whether this machine's
// media libraries have those encoders. Decided from the format's option text
// (the same rule the merge uses) and the container's default codecs.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/merge_plan.h"

namespace tavrin {

// The value of the last "<option> value" pair of an options text ("" when
// the option is not there), e.g. LastOptionValue(text, "-c:v").
std::string LastOptionValue(const std::string& options, std::string_view option);

// What a container is and which encoders it picks when the options name none.
struct TContainerFacts {
    std::string Muxer;         // "" when no muxer fits
    std::string DefaultVideo;  // encoder name, or the codec's name when no encoder exists
    std::string DefaultAudio;
};
// The container written for a forced format name ("-f", may be "") and an
// output file name.
using ContainerLookup =
    std::function<TContainerFacts(std::string_view forcedFormat, std::string_view fileName)>;

struct TFormatCodecs {
    std::string_view Name;  // the format list's entry
    std::string Container;
    std::string VideoCodec;
    bool VideoEncoderFound = false;
    std::string AudioCodec;
    bool AudioEncoderFound = false;
};

// Every entry of the format list, in list order.
std::vector<TFormatCodecs> DescribeFormats(const EncoderTest& hasEncoder,
                                           const ContainerLookup& container);

// The lookup through the loaded media libraries.
TContainerFacts LibraryContainerFacts(std::string_view forcedFormat, std::string_view fileName);
// The encoder test through the loaded media libraries.
bool LibraryHasEncoder(std::string_view encoderName);
// The muxer test through the loaded media libraries. A muxer that cannot say
// which codecs it takes is trusted with them (its writer refuses at worst).
bool LibraryMuxerCarries(std::string_view muxer, std::string_view videoCodec,
                         std::string_view audioEncoder);

}  // namespace tavrin

// Where the output format and frame size of a headless merge come from: the
// command line, else the stored settings, else the first-run default. The
// window keeps its own rule (the stored index, entry 0 when none is stored).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrin {

// The format a merge uses when nothing chooses one: a common container that
// every FFmpeg build can write, at the video's own size.
inline constexpr std::string_view kFirstRunFormatName = "MP4";

enum class TChoiceSource {
    CommandLine,  // given as an option
    Settings,     // stored in the settings file
    Default,      // neither: the default
};

struct TSourcedChoice {
    int Index = -1;
    TChoiceSource Source = TChoiceSource::Default;
};

// The format: given, else stored (even an index outside the list, which then
// selects nothing, as in the window), else kFirstRunFormatName.
TSourcedChoice ChooseFormat(std::optional<int> given, std::optional<int> stored);

// The frame-size entry of the format: given, else stored (entry 0 for an
// index the format's list lacks), else entry 0.
TSourcedChoice ChooseFrameSize(std::string_view formatName, std::optional<int> given,
                               std::optional<int> stored);

// "from <option>", "from the settings file <ini>", "no <option> and none stored,
// the default".
std::string ChoiceSourceText(TChoiceSource source, std::string_view option,
                             std::string_view iniFileName);

}  // namespace tavrin

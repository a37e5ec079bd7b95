#include "app/core/format_choice.h"

#include "app/core/choice_lists.h"

namespace tavrin {

namespace {

int FirstRunFormatIndex() {
    const auto names = FormatNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == kFirstRunFormatName) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

TSourcedChoice ChooseFormat(std::optional<int> given, std::optional<int> stored) {
    if (given) {
        return {*given, TChoiceSource::CommandLine};
    }
    if (stored) {
        return {*stored, TChoiceSource::Settings};
    }
    return {FirstRunFormatIndex(), TChoiceSource::Default};
}

TSourcedChoice ChooseFrameSize(std::string_view formatName, std::optional<int> given,
                               std::optional<int> stored) {
    if (given) {
        return {*given, TChoiceSource::CommandLine};
    }
    if (stored) {
        const int shown = FrameSizeSelection(formatName, *stored);
        return {shown < 0 ? 0 : shown, TChoiceSource::Settings};
    }
    return {0, TChoiceSource::Default};
}

std::string ChoiceSourceText(TChoiceSource source, std::string_view option,
                             std::string_view iniFileName) {
    switch (source) {
        case TChoiceSource::CommandLine:
            return "from " + std::string(option);
        case TChoiceSource::Settings:
            return "from the settings file " + std::string(iniFileName);
        case TChoiceSource::Default:
            break;
    }
    return "no " + std::string(option) + " and none stored, the default";
}

}  // namespace tavrin

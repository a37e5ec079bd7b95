#include "app/core/choice_lists.h"

#include <array>

#include "app/core/settings.h"

namespace tavrin {

namespace {

// "Original" came after the 16 presets, so their stored indexes keep their meaning.
constexpr std::array<std::string_view, 17> kFormatNames = {
    "3GP",  "AVI",  "FLV", "iPod", "MKV",  "MOV", "MP4", "OGG",     "PSP",
    "RM10", "RM20", "SWF", "WMV",  "WebM", "M1V", "M2V", "Original"};

constexpr std::array<std::string_view, 29> kFrameSizeNames = {
    "Auto - Original",    "128x96 - sqcif",     "176x144 - qcif",     "352x288 - cif",
    "704x576 - 4cif",     "160x120 - qqvga",    "320x240 - qvga",     "640x480 - vga",
    "800x600 - svga",     "1024x768 - xga",     "1600x1200 - uxga",   "2048x1536 - qxga",
    "1280x1024 - sxga",   "2560x2048 - qsxga",  "5120x4096 - hsxga",  "852x480 - wvga",
    "1366x768 - wxga",    "1600x1024 - wsxga",  "1920x1200 - wuxga",  "2560x1600 - woxga",
    "3200x2048 - wqsxga", "3840x2400 - wquxga", "6400x4096 - whsxga", "7680x4800 - whuxga",
    "320x200 - cga",      "640x350 - ega",      "852x480 - hd480",    "1280x720 - hd720",
    "1920x1080 - hd1080"};

constexpr std::array<std::string_view, 4> kThreeGpFrameSizeNames = {
    "128x96 - sqcif", "176x144 - qcif", "352x288 - cif", "704x576 - 4cif"};

constexpr std::array<std::string_view, 11> kQualityNames = {
    "0(Higest Quality)", "1", "2", "3", "4", "5", "6(Recommend)", "7", "8", "9",
    "10(Lowest Quality)"};

TChoiceState ChoicesFor(const TSettings& settings, int formatIndex) {
    TChoiceState state;
    state.FormatIndex = ListSelection(kFormatNames.size(), formatIndex);
    const std::string_view format = FormatNameAt(state.FormatIndex);
    state.FrameSizes = FrameSizeNames(format);
    state.FrameSizeIndex = FrameSizeSelection(format, settings.FrameSizeIndex());
    state.QualityIndex = ListSelection(kQualityNames.size(), settings.VideoQualityIndex());
    state.UseVideoQuality = settings.UseVideoQuality();
    state.QualityListEnabled = state.UseVideoQuality;
    // The copied video keeps its own size and quality.
    if (IsOriginalFormat(format)) {
        state.FrameSizeListEnabled = false;
        state.QualityListEnabled = false;
    }
    return state;
}

}  // namespace

std::span<const std::string_view> FormatNames() {
    return kFormatNames;
}

std::span<const std::string_view> FrameSizeNames(std::string_view formatName) {
    if (IsThreeGpFormat(formatName)) {
        return kThreeGpFrameSizeNames;
    }
    return kFrameSizeNames;
}

std::span<const std::string_view> QualityNames() {
    return kQualityNames;
}

std::string_view FormatNameAt(int index) {
    const int selected = ListSelection(kFormatNames.size(), index);
    return selected < 0 ? std::string_view() : kFormatNames[static_cast<std::size_t>(selected)];
}

bool IsOriginalFormat(std::string_view formatName) {
    return formatName == kOriginalFormatName;
}

bool IsThreeGpFormat(std::string_view formatName) {
    return formatName.size() == 3 && formatName[0] == '3' &&
           (formatName[1] == 'g' || formatName[1] == 'G') &&
           (formatName[2] == 'p' || formatName[2] == 'P');
}

int ListSelection(std::size_t count, int storedIndex) {
    return storedIndex >= 0 && static_cast<std::size_t>(storedIndex) < count ? storedIndex : -1;
}

int FrameSizeSelection(std::string_view formatName, int storedIndex) {
    const int selected = ListSelection(FrameSizeNames(formatName).size(), storedIndex);
    if (IsThreeGpFormat(formatName) && selected < 0) {
        return 0;
    }
    return selected;
}

TChoiceState RestoreChoices(const TSettings& settings) {
    return ChoicesFor(settings, settings.OutputFormatIndex());
}

TChoiceState ChangeFormat(TSettings& settings, int formatIndex) {
    settings.SetOutputFormatIndex(formatIndex);
    return ChoicesFor(settings, formatIndex);
}

}  // namespace tavrin

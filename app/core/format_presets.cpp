#include "app/core/format_presets.h"

namespace tavrin {

namespace {

using enum TAudioCodecRule;

// MP4 takes its audio encoder from the AAC rule, and 3GP falls back to AAC,
// so both formats work with libraries that have neither libfaac nor an AMR-NB
// encoder (which is most of them).
constexpr std::array<TFormatPreset, 16> kPresets = {{
    {"3GP", {"-b:a 12.2k", " -f 3gp "}, "1", "8000", "", AacWithoutAmrNb, "", "h263", ""},
    {"AVI", {}, "", "", "", Fixed, "", "", ""},
    {"FLV", {"-f flv"}, "", "44100", "", Fixed, "mp3", "", ""},
    {"iPod", {}, "", "", "15000/1001", Aac, "", "mpeg4", "_ipod.mp4"},
    {"MKV", {}, "", "", "", Fixed, "", "libx264", ""},
    {"MOV", {" -f mov "}, "", "", "", Aac, "", "libx264", ""},
    {"MP4", {"-c:v mpeg4"}, "", "", "", Aac, "", "", ""},
    {"OGG", {}, "", "", "", Fixed, "libvorbis", "libtheora", ""},
    {"PSP", {"-f psp"}, "", "24000", "15000/1001", Aac, "", "mpeg4", "_psp.mp4"},
    {"RM10", {}, "", "", "", Fixed, "", "rv10", "_rv10.rm"},
    {"RM20", {}, "", "", "", Fixed, "", "rv20", "_rv20.rm"},
    {"SWF", {"-f flv"}, "", "44100", "", Fixed, "mp3", "", ""},
    // wmav2 takes at most two channels and 48 kHz: a song used directly,
    // without the join's conversion, may have more.
    {"WMV", {}, "2", "44100", "", Fixed, "wmav2", "wmv2", ""},
    {"WebM", {"-f webm"}, "", "", "", Fixed, "libvorbis", "libvpx", ""},
    {"M1V", {}, "", "", "", Fixed, "mp2", "mpeg1video", ".mpg"},
    {"M2V", {}, "", "", "", Fixed, "ac3", "mpeg2video", ".mpg"},
}};

}  // namespace

std::string FormatKey(std::string_view formatName) {
    std::string key = ".";
    for (const char c : formatName) {
        key += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    return key;
}

const TFormatPreset* FindFormatPreset(std::string_view formatName) {
    if (formatName.empty()) {
        return nullptr;
    }
    const std::string key = FormatKey(formatName);
    for (const auto& preset : kPresets) {
        if (FormatKey(preset.Name) == key) {
            return &preset;
        }
    }
    return nullptr;
}

std::string OutputSuffix(const TFormatPreset& preset) {
    return preset.Suffix.empty() ? FormatKey(preset.Name) : std::string(preset.Suffix);
}

}  // namespace tavrin

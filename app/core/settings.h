// The application's settings: eight keys of the section "settings" in the
// settings file, each read from and written to the file at the moment it is
// needed, and the start-up rule that picks and repairs the output folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/core/ini_file.h"

namespace tavrin {

inline constexpr std::string_view kSettingsSection = "settings";
inline constexpr std::string_view kOutputDirKey = "OutPutDir";
inline constexpr std::string_view kOutputFormatIndexKey = "outputformatindex";
inline constexpr std::string_view kFrameSizeIndexKey = "framesizeindex";
inline constexpr std::string_view kVideoQualityIndexKey = "videoqualityindex";
inline constexpr std::string_view kUseVideoQualityKey = "usevideoquality";
// The merge choices; a file written before they existed reads them as off.
inline constexpr std::string_view kFadeOutSecondsKey = "fadeoutseconds";
inline constexpr std::string_view kRepeatSongsKey = "repeatsongs";
// The window shows the pictures of a running merge in a preview window.
inline constexpr std::string_view kShowPreviewKey = "showpreview";
inline constexpr std::string_view kVideoSoundPercentKey = "videosoundpercent";

// $HOME/tavrin: the output folder when none is stored.
std::string DefaultOutputDir();
// $HOME/tavrinfree: replaces a stored output folder that cannot be written.
std::string FallbackOutputDir();

class TSettings {
public:
    explicit TSettings(std::string iniFileName) : ini_(std::move(iniFileName)) {}

    const std::string& IniFileName() const { return ini_.FileName(); }

    // Absent, unreadable or empty: DefaultOutputDir().
    std::string OutputDir() const;
    // Absent or unparsable: 0, 0, 0 and true.
    int OutputFormatIndex() const;
    int FrameSizeIndex() const;
    int VideoQualityIndex() const;
    bool UseVideoQuality() const;
    // The stored value itself; nullopt when absent or unparsable.
    std::optional<int> StoredOutputFormatIndex() const;
    std::optional<int> StoredFrameSizeIndex() const;
    // Absent, unparsable or outside its range (merge_plan.h): 0, false, 0,
    // which all mean off.
    int FadeOutSeconds() const;
    bool RepeatSongs() const;
    bool ShowPreview() const;
    int VideoSoundPercent() const;

    // Each setter writes the file at once; false with LastErrorText on failure.
    bool SetOutputDir(const std::string& folder);
    bool SetOutputFormatIndex(int index);
    bool SetFrameSizeIndex(int index);
    bool SetVideoQualityIndex(int index);
    bool SetUseVideoQuality(bool use);
    bool SetFadeOutSeconds(int seconds);
    bool SetRepeatSongs(bool repeat);
    bool SetShowPreview(bool show);
    bool SetVideoSoundPercent(int percent);

    const std::string& LastErrorText() const { return ini_.LastErrorText(); }

private:
    TIniFile ini_;
};

// The output folder at start-up: the stored folder when a file can be
// written in it; otherwise FallbackOutputDir(), which is stored. The chosen
// folder is then created with its parents when missing (a failure is left for
// the merge to report when it opens its output). Returns the folder to show.
std::string RestoreOutputFolder(TSettings& settings);

}  // namespace tavrin

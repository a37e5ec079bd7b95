#include "app/core/settings.h"

#include <filesystem>

#include "app/core/global_object.h"
#include "app/core/merge_plan.h"
#include "app/core/path_text.h"

namespace tavrin {

std::string DefaultOutputDir() {
    return JoinPath(HomeFolder(), "tavrin");
}

std::string FallbackOutputDir() {
    return JoinPath(HomeFolder(), "tavrinfree");
}

std::string TSettings::OutputDir() const {
    std::string folder = ini_.ReadString(kSettingsSection, kOutputDirKey, "");
    // An empty folder would put every output at the file system root.
    return folder.empty() ? DefaultOutputDir() : folder;
}

int TSettings::OutputFormatIndex() const {
    return ini_.ReadInteger(kSettingsSection, kOutputFormatIndexKey, 0);
}

std::optional<int> TSettings::StoredOutputFormatIndex() const {
    return ini_.ReadInteger(kSettingsSection, kOutputFormatIndexKey);
}

std::optional<int> TSettings::StoredFrameSizeIndex() const {
    return ini_.ReadInteger(kSettingsSection, kFrameSizeIndexKey);
}

int TSettings::FrameSizeIndex() const {
    return ini_.ReadInteger(kSettingsSection, kFrameSizeIndexKey, 0);
}

int TSettings::VideoQualityIndex() const {
    return ini_.ReadInteger(kSettingsSection, kVideoQualityIndexKey, 0);
}

bool TSettings::UseVideoQuality() const {
    return ini_.ReadBool(kSettingsSection, kUseVideoQualityKey, true);
}

namespace {

int InRangeOrOff(int value, int highest) {
    return value >= 0 && value <= highest ? value : 0;
}

}  // namespace

int TSettings::FadeOutSeconds() const {
    return InRangeOrOff(ini_.ReadInteger(kSettingsSection, kFadeOutSecondsKey, 0),
                        kMaxFadeOutSeconds);
}

bool TSettings::RepeatSongs() const {
    return ini_.ReadBool(kSettingsSection, kRepeatSongsKey, false);
}

int TSettings::VideoSoundPercent() const {
    return InRangeOrOff(ini_.ReadInteger(kSettingsSection, kVideoSoundPercentKey, 0),
                        kMaxVideoSoundPercent);
}

bool TSettings::SetOutputDir(const std::string& folder) {
    return ini_.WriteString(kSettingsSection, kOutputDirKey, folder);
}

bool TSettings::SetOutputFormatIndex(int index) {
    return ini_.WriteInteger(kSettingsSection, kOutputFormatIndexKey, index);
}

bool TSettings::SetFrameSizeIndex(int index) {
    return ini_.WriteInteger(kSettingsSection, kFrameSizeIndexKey, index);
}

bool TSettings::SetVideoQualityIndex(int index) {
    return ini_.WriteInteger(kSettingsSection, kVideoQualityIndexKey, index);
}

bool TSettings::SetUseVideoQuality(bool use) {
    return ini_.WriteBool(kSettingsSection, kUseVideoQualityKey, use);
}

bool TSettings::SetFadeOutSeconds(int seconds) {
    return ini_.WriteInteger(kSettingsSection, kFadeOutSecondsKey, seconds);
}

bool TSettings::SetRepeatSongs(bool repeat) {
    return ini_.WriteBool(kSettingsSection, kRepeatSongsKey, repeat);
}

bool TSettings::ShowPreview() const {
    return ini_.ReadBool(kSettingsSection, kShowPreviewKey, false);
}

bool TSettings::SetShowPreview(bool show) {
    return ini_.WriteBool(kSettingsSection, kShowPreviewKey, show);
}

bool TSettings::SetVideoSoundPercent(int percent) {
    return ini_.WriteInteger(kSettingsSection, kVideoSoundPercentKey, percent);
}

std::string RestoreOutputFolder(TSettings& settings) {
    std::string folder = settings.OutputDir();
    // The write test comes before the folder is created, so a first start
    // (default folder missing) lands in the fallback folder.
    if (!CanWriteToDirectory(folder)) {
        folder = FallbackOutputDir();
        settings.SetOutputDir(folder);
    }
    std::error_code ignored;
    if (!std::filesystem::exists(folder, ignored)) {
        std::filesystem::create_directories(folder, ignored);
    }
    return folder;
}

}  // namespace tavrin

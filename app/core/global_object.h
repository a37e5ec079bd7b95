// The application-wide settings object and the system queries around it: the
// configuration folder, the write test of a folder, the user's name, the
// processor count and the version text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavrin {

// Folder number of the shared application-data folder in the shell's old
// numbering; the only number GetSpecialFolderPath knows.
inline constexpr int kCommonAppDataFolder = 35;

// Sub-path of the settings file under the configuration folder.
inline constexpr std::string_view kSettingsSubPath = "tavrinfree/tavrin.ini";

inline constexpr std::string_view kProductName = "Tavrin Free ";
inline constexpr std::string_view kProductPageUrl = "https://tavrin.org/";

// Plain holder of the product's names and the settings file path. Each setter
// ignores values that cannot be right, so a field never becomes unusable.
class TGlobalObject {
public:
    const std::string& IniFileName() const { return iniFileName_; }
    const std::string& ProductName() const { return productName_; }
    const std::string& VersionText() const { return versionText_; }
    const std::string& ProductPageUrl() const { return productPageUrl_; }

    // A path of 3 characters or fewer is ignored.
    void SetIniFileName(const std::string& value);
    // Empty values are ignored.
    void SetProductName(const std::string& value);
    void SetVersionText(const std::string& value);
    void SetProductPageUrl(const std::string& value);

private:
    std::string iniFileName_;
    std::string productName_;
    std::string versionText_;
    std::string productPageUrl_;
};

// Builds the object the main window keeps: the settings file path under the
// configuration folder (whose "tavrinfree" folder is created when missing),
// the product name, the version text and the product page address.
TGlobalObject CreateGlobalObject();

// Path of a special folder with a trailing "/", or "" when unknown. Folder 35
// is $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config.
std::string GetSpecialFolderPath(int folder);

// The user's home folder: $HOME, else the password database entry.
std::string HomeFolder();

// True when a uniquely named file with the prefix "DA" can be created in the
// folder and removed again. A missing folder yields false.
bool CanWriteToDirectory(const std::string& folder);

// Name of the user running the process (no padding to trim).
std::string GetCurrentUserName();

// The last count characters of the text (all of it when it is shorter).
std::string RightPart(std::string_view text, std::size_t count);

// Number of logical processors the system has online, at least 1.
int GetProcessorCount();

// " major.minor<release><build> ": one point only, one blank on each side.
std::string MakeVersionText(unsigned major, unsigned minor, unsigned release, unsigned build);

// The version text of this build, from the project version.
std::string ProjectVersionText();

}  // namespace tavrin

#include "app/core/global_object.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "app/core/path_text.h"

namespace tavrin {

void TGlobalObject::SetIniFileName(const std::string& value) {
    if (Utf8Length(value) > 3) {
        iniFileName_ = value;
    }
}

void TGlobalObject::SetProductName(const std::string& value) {
    if (!value.empty()) {
        productName_ = value;
    }
}

void TGlobalObject::SetVersionText(const std::string& value) {
    if (!value.empty()) {
        versionText_ = value;
    }
}

void TGlobalObject::SetProductPageUrl(const std::string& value) {
    if (!value.empty()) {
        productPageUrl_ = value;
    }
}

TGlobalObject CreateGlobalObject() {
    TGlobalObject global;
    const std::string folder = GetSpecialFolderPath(kCommonAppDataFolder);
    global.SetIniFileName(folder + std::string(kSettingsSubPath));
    if (!folder.empty()) {
        // A folder that cannot be made shows up later as a failed settings write.
        std::error_code ignored;
        std::filesystem::create_directories(folder + "tavrinfree", ignored);
    }
    global.SetProductName(std::string(kProductName));
    global.SetVersionText(ProjectVersionText());
    global.SetProductPageUrl(std::string(kProductPageUrl));
    return global;
}

namespace {

std::string PasswordEntryField(bool wantHome) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0) {
        size = 16384;
    }
    std::vector<char> buffer(static_cast<std::size_t>(size));
    passwd entry{};
    passwd* found = nullptr;
    while (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr) {
        return {};
    }
    const char* field = wantHome ? found->pw_dir : found->pw_name;
    return field != nullptr ? field : "";
}

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

std::string HomeFolder() {
    std::string home = EnvironmentValue("HOME");
    if (home.empty()) {
        home = PasswordEntryField(true);
    }
    return home;
}

std::string GetSpecialFolderPath(int folder) {
    if (folder != kCommonAppDataFolder) {
        return {};
    }
    // Only absolute values count; a relative one is invalid by the XDG rules.
    std::string path = EnvironmentValue("XDG_CONFIG_HOME");
    if (path.empty() || path.front() != '/') {
        const std::string home = HomeFolder();
        path = home.empty() ? std::string() : JoinPath(home, ".config");
    }
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    return path;
}

bool CanWriteToDirectory(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    std::string pattern = JoinPath(folder, "DAXXXXXX");
    const int descriptor = mkostemp(pattern.data(), O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    close(descriptor);
    return unlink(pattern.c_str()) == 0;
}

std::string GetCurrentUserName() {
    std::string name = PasswordEntryField(false);
    if (name.empty()) {
        name = EnvironmentValue("USER");
    }
    if (name.empty()) {
        name = EnvironmentValue("LOGNAME");
    }
    return name;
}

std::string RightPart(std::string_view text, std::size_t count) {
    const std::size_t length = Utf8Length(text);
    if (count >= length) {
        return std::string(text);
    }
    // Walk back over count characters, each starting at a non-continuation byte.
    std::size_t start = text.size();
    for (std::size_t skipped = 0; skipped < count;) {
        --start;
        if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) {
            ++skipped;
        }
    }
    return std::string(text.substr(start));
}

int GetProcessorCount() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<int>(count) : 1;
}

std::string MakeVersionText(unsigned major, unsigned minor, unsigned release, unsigned build) {
    return " " + std::to_string(major) + "." + std::to_string(minor) + std::to_string(release) +
           std::to_string(build) + " ";
}

std::string ProjectVersionText() {
    // "+ 0" keeps a part the project version leaves out (an empty definition) at 0.
    return MakeVersionText(TAVRIN_VERSION_MAJOR + 0, TAVRIN_VERSION_MINOR + 0,
                           TAVRIN_VERSION_PATCH + 0, TAVRIN_VERSION_TWEAK + 0);
}

}  // namespace tavrin

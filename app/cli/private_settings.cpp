#include "app/cli/private_settings.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

namespace tavrin::cli {

namespace {

namespace fs = std::filesystem;

constexpr char kPrivateFolderPrefix[] = "tavrin-merge-";
// A folder younger than this is never taken for a leftover: its run may not
// have locked it yet.
constexpr auto kLeftoverMinimumAge = std::chrono::seconds(5);

// Removes the private folders of earlier runs that were killed before they
// could remove them: folders of this user, named by the prefix, old enough,
// whose lock no running process holds.
void RemoveLeftoverFolders(const fs::path& temp) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(temp, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(kPrivateFolderPrefix, 0) != 0) {
            continue;
        }
        struct stat info {};
        if (::lstat(entry.path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            info.st_uid != ::geteuid()) {
            continue;
        }
        const auto age = std::chrono::system_clock::now() -
                         std::chrono::system_clock::from_time_t(info.st_mtime);
        if (age < kLeftoverMinimumAge) {
            continue;
        }
        const UniqueFd folder(
            ::open(entry.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (folder.Valid() && ::flock(folder.Get(), LOCK_EX | LOCK_NB) == 0) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
        }
    }
}

}  // namespace

PrivateSettings::PrivateSettings() {
    std::error_code error;
    const fs::path temp = fs::temp_directory_path(error);
    if (error) {
        return;
    }
    RemoveLeftoverFolders(temp);
    std::string pattern = (temp / (std::string(kPrivateFolderPrefix) + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return;
    }
    folder_ = pattern;
    lock_ = UniqueFd(::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!lock_.Valid() || ::flock(lock_.Get(), LOCK_EX) != 0) {
        Remove();
    }
}

PrivateSettings::~PrivateSettings() {
    Remove();
}

void PrivateSettings::Remove() {
    if (!folder_.empty()) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        folder_.clear();
    }
}

}  // namespace tavrin::cli

#include "app/core/created_folders.h"

#include <unistd.h>

#include <filesystem>

namespace tavrin {

namespace fs = std::filesystem;

bool TCreatedFolders::Create(const std::string& folder, std::error_code& error) {
    std::vector<std::string> missing;
    std::error_code ignored;
    for (fs::path at = fs::absolute(folder, ignored).lexically_normal(); !at.empty();
         at = at.parent_path()) {
        if (fs::exists(fs::symlink_status(at, ignored)) || at == at.parent_path()) {
            break;
        }
        missing.insert(missing.begin(), at.string());
    }
    fs::create_directories(folder, error);
    if (!fs::is_directory(folder, ignored)) {
        if (!error) {
            error = std::make_error_code(std::errc::not_a_directory);
        }
    } else {
        error.clear();
    }
    for (const std::string& path : missing) {
        if (fs::is_directory(fs::symlink_status(path, ignored))) {
            made_.push_back(path);
        }
    }
    return !error;
}

void TCreatedFolders::RemoveEmpty() {
    while (!made_.empty()) {
        // rmdir takes only an empty folder.
        if (::rmdir(made_.back().c_str()) != 0) {
            break;
        }
        made_.pop_back();
    }
    made_.clear();
}

}  // namespace tavrin

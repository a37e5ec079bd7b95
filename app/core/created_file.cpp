#include "app/core/created_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace tavrin {

TCreatedFile::TCreatedFile(std::string path) : path_(std::move(path)) {
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        device_ = info.st_dev;
        inode_ = info.st_ino;
    } else {
        // Not a file of ours after all: nothing to remove later.
        path_.clear();
    }
}

TCreatedFile::TCreatedFile(TCreatedFile&& other) noexcept
    : path_(std::exchange(other.path_, {})), device_(other.device_), inode_(other.inode_) {}

TCreatedFile& TCreatedFile::operator=(TCreatedFile&& other) noexcept {
    if (this != &other) {
        Remove();
        path_ = std::exchange(other.path_, {});
        device_ = other.device_;
        inode_ = other.inode_;
    }
    return *this;
}

void TCreatedFile::Remove() {
    if (path_.empty()) {
        return;
    }
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_dev == device_ &&
        info.st_ino == inode_) {
        ::unlink(path_.c_str());
    }
    path_.clear();
}

void TCreatedFile::Keep() {
    path_.clear();
}

}  // namespace tavrin

#include "app/core/created_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace tavrin {

TCreatedFile::TCreatedFile(std::string path, TFileIdentity identity)
    : path_(std::move(path)), identity_(identity) {}

TCreatedFile::TCreatedFile(TCreatedFile&& other) noexcept
    : path_(std::exchange(other.path_, {})), identity_(other.identity_) {}

TCreatedFile& TCreatedFile::operator=(TCreatedFile&& other) noexcept {
    if (this != &other) {
        Remove();
        path_ = std::exchange(other.path_, {});
        identity_ = other.identity_;
    }
    return *this;
}

void TCreatedFile::Remove() {
    if (path_.empty()) {
        return;
    }
    struct stat info {};
    if (::lstat(path_.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_dev == identity_.Device && info.st_ino == identity_.Inode) {
        ::unlink(path_.c_str());
    }
    path_.clear();
}

void TCreatedFile::Keep() {
    path_.clear();
}

}  // namespace tavrin

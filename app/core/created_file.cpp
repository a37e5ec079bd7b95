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

bool TCreatedFile::StillCreated() const {
    struct stat info {};
    return !path_.empty() && ::lstat(path_.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_dev == identity_.Device && info.st_ino == identity_.Inode;
}

void TCreatedFile::Remove() {
    if (StillCreated()) {
        ::unlink(path_.c_str());
    }
    path_.clear();
}

void TCreatedFile::Keep() {
    path_.clear();
}

}  // namespace tavrin

#include "app/core/run_mark.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrin {
namespace {

constexpr std::string_view kMarkSuffix = ".lock";

std::string Joined(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}

// The process id in a mark's name, or 0 when the name is not a mark's.
pid_t MarkOwner(std::string_view name) {
    const std::string_view prefix = kRunMarkPrefix;
    if (name.size() <= prefix.size() + kMarkSuffix.size() ||
        name.substr(0, prefix.size()) != prefix ||
        name.substr(name.size() - kMarkSuffix.size()) != kMarkSuffix) {
        return 0;
    }
    const std::string digits(
        name.substr(prefix.size(), name.size() - prefix.size() - kMarkSuffix.size()));
    if (digits.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    return static_cast<pid_t>(std::strtol(digits.c_str(), nullptr, 10));
}

bool ProcessGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof(buffer))) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

// Removes each listed file that is still the file the run created.
int RemoveListed(const std::string& folder, const std::string& records) {
    int removed = 0;
    std::size_t at = 0;
    while (at < records.size()) {
        const std::size_t end = records.find('\0', at);
        if (end == std::string::npos) {
            break;  // a record the run did not finish writing
        }
        const std::string record = records.substr(at, end - at);
        at = end + 1;
        unsigned long long device = 0;
        unsigned long long inode = 0;
        int name_at = 0;
        if (std::sscanf(record.c_str(), "%llu %llu %n", &device, &inode, &name_at) != 2 ||
            name_at <= 0 || static_cast<std::size_t>(name_at) >= record.size()) {
            continue;
        }
        const std::string name = record.substr(static_cast<std::size_t>(name_at));
        if (name.find('/') != std::string::npos || name == "." || name == "..") {
            continue;
        }
        const std::string path = Joined(folder, name);
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_dev == static_cast<dev_t>(device) && info.st_ino == static_cast<ino_t>(inode) &&
            ::unlink(path.c_str()) == 0) {
            ++removed;
        }
    }
    return removed;
}

}  // namespace

TRunMark::TRunMark(const std::string& folder)
    : path_(Joined(folder, std::string(kRunMarkPrefix) + std::to_string(::getpid()) +
                               std::string(kMarkSuffix))) {
    // A mark of an earlier process with this id is stale: its process is
    // this one now.
    ::unlink(path_.c_str());
    UniqueFd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.Valid() || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (fd.Valid()) {
            ::unlink(path_.c_str());
        }
        path_.clear();
        return;
    }
    fd_ = std::move(fd);
}

TRunMark::TRunMark(TRunMark&& other) noexcept
    : path_(std::exchange(other.path_, {})), fd_(std::move(other.fd_)) {}

TRunMark& TRunMark::operator=(TRunMark&& other) noexcept {
    if (this != &other) {
        Release();
        path_ = std::exchange(other.path_, {});
        fd_ = std::move(other.fd_);
    }
    return *this;
}

TRunMark::~TRunMark() {
    Release();
}

void TRunMark::Release() {
    if (fd_.Valid()) {
        ::unlink(path_.c_str());
        fd_.Close();
    }
    path_.clear();
}

void TRunMark::Record(const std::string& path, TFileIdentity identity) {
    if (!fd_.Valid()) {
        return;
    }
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string record = std::to_string(static_cast<unsigned long long>(identity.Device)) + " " +
                         std::to_string(static_cast<unsigned long long>(identity.Inode)) + " " +
                         name;
    record += '\0';
    // Written in one call, so that a kill leaves whole records or a torn
    // last one, which the reader skips.
    [[maybe_unused]] const ssize_t written = ::write(fd_.Get(), record.data(), record.size());
}

int RemoveStaleRunFiles(const std::string& folder) {
    struct CloseDir {
        void operator()(DIR* dir) const { ::closedir(dir); }
    };
    const std::unique_ptr<DIR, CloseDir> dir(::opendir(folder.c_str()));
    if (!dir) {
        return 0;
    }
    std::vector<std::string> marks;
    while (const dirent* entry = ::readdir(dir.get())) {
        const pid_t owner = MarkOwner(entry->d_name);
        if (owner > 0 && owner != ::getpid() && ProcessGone(owner)) {
            marks.emplace_back(entry->d_name);
        }
    }
    int removed = 0;
    for (const std::string& mark : marks) {
        const std::string path = Joined(folder, mark);
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
            ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            continue;  // still held: its run lives, in another process space
        }
        removed += RemoveListed(folder, ReadAll(fd.Get()));
        ::unlink(path.c_str());
    }
    return removed;
}

}  // namespace tavrin

// Helpers of the settings tests: scoped environment variables and a folder
// that the running user cannot write to.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "fixtures/media_fixtures.h"

namespace tavrin::testing {

// Sets (or, with nullopt, removes) an environment variable for its lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        Apply(value);
    }
    ~ScopedEnv() { Apply(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void Apply(const std::optional<std::string>& value) {
        if (value) {
            setenv(name_.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    std::string name_;
    std::optional<std::string> old_;
};

// An existing folder that no file can be created in. Permissions do not stop
// root, so root gets /proc, which refuses new files for everyone.
class UnwritableFolder {
public:
    UnwritableFolder() {
        if (geteuid() == 0) {
            path_ = "/proc";
        } else {
            path_ = (dir_.path() / "locked").string();
            std::filesystem::create_directory(path_);
            chmod(path_.c_str(), 0555);
        }
    }
    ~UnwritableFolder() {
        if (geteuid() != 0) {
            chmod(path_.c_str(), 0755);
        }
    }
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;

    const std::string& path() const { return path_; }

private:
    TempDir dir_;
    std::string path_;
};

}  // namespace tavrin::testing

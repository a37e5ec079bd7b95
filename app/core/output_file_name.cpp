#include "app/core/output_file_name.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <numeric>
#include <system_error>

#include "app/core/path_text.h"
#include "app/core/settings.h"
#include "media/runtime/utf8_cut.h"

namespace tavrin {

namespace {

namespace fs = std::filesystem;

// Cuts the parts so that together they take at most `budget` bytes: every
// part longer than a common cap is cut to it, the cap as large as fits, so
// that a long name never crowds out a short one.
std::vector<std::string_view> FitParts(const std::vector<std::string>& parts, std::size_t budget) {
    const auto total_at = [&](std::size_t cap) {
        return std::accumulate(parts.begin(), parts.end(), std::size_t{0},
                               [cap](std::size_t sum, const std::string& part) {
                                   return sum + std::min(part.size(), cap);
                               });
    };
    std::size_t longest = 0;
    for (const std::string& part : parts) {
        longest = std::max(longest, part.size());
    }
    std::size_t cap = longest;
    if (total_at(cap) > budget) {
        // The largest cap whose total fits.
        std::size_t low = 0;
        std::size_t high = longest;
        while (low < high) {
            const std::size_t middle = (low + high + 1) / 2;
            if (total_at(middle) <= budget) {
                low = middle;
            } else {
                high = middle - 1;
            }
        }
        cap = low;
    }
    std::vector<std::string_view> fitted;
    fitted.reserve(parts.size());
    for (const std::string& part : parts) {
        fitted.push_back(CutUtf8(part, cap));
    }
    return fitted;
}

// A dangling symbolic link counts as taken: writing through it would create
// its target somewhere else.
bool NameTaken(const std::string& path) {
    std::error_code error;
    const auto status = fs::symlink_status(path, error);
    return !error && status.type() != fs::file_type::not_found;
}

enum class Claim { Created, Taken, Failed };

// The identity is read from the new descriptor, not the name: a file put in
// its place right after creation is not taken for ours.
Claim CreateExclusively(const std::string& path, TFileIdentity* created, std::string* errorText) {
    const int descriptor =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor >= 0) {
        struct stat info {};
        const bool known = ::fstat(descriptor, &info) == 0;
        const int stat_error = errno;
        ::close(descriptor);
        if (!known) {
            ::unlink(path.c_str());
            if (errorText != nullptr) {
                *errorText =
                    "Cannot create " + path + ": " + std::generic_category().message(stat_error);
            }
            return Claim::Failed;
        }
        if (created != nullptr) {
            *created = {info.st_dev, info.st_ino};
        }
        return Claim::Created;
    }
    if (errno == EEXIST) {
        return Claim::Taken;
    }
    if (errorText != nullptr) {
        *errorText = "Cannot create " + path + ": " + std::generic_category().message(errno);
    }
    return Claim::Failed;
}

// "_(new)" + suffix for the first try, "_(new_<n>)" + suffix for try n.
std::function<std::string(unsigned long long)> OutputEnding(std::string_view suffix) {
    return [suffix = std::string(suffix)](unsigned long long n) {
        return (n == 0 ? std::string("_(new)") : "_(new_" + std::to_string(n) + ")") + suffix;
    };
}

}  // namespace

std::string NameAt(const TFileNamePattern& pattern, unsigned long long n, std::size_t nameLimit) {
    const std::string ending = pattern.Ending ? pattern.Ending(n) : std::string();
    std::size_t fixed = pattern.Prefix.size() + ending.size();
    if (pattern.Parts.size() > 1) {
        fixed += pattern.Separator.size() * (pattern.Parts.size() - 1);
    }
    const std::size_t budget = nameLimit > fixed ? nameLimit - fixed : 0;
    std::string name = pattern.Prefix;
    const auto parts = FitParts(pattern.Parts, budget);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            name += pattern.Separator;
        }
        name += parts[i];
    }
    name += ending;
    return JoinPath(pattern.Folder, name);
}

std::size_t FileNameLimit(const std::string& folder) {
    // A folder that does not exist yet gets the limit of the nearest one that does.
    fs::path place = folder.empty() ? fs::path(".") : fs::path(folder);
    for (;;) {
        errno = 0;
        const long limit = ::pathconf(place.c_str(), _PC_NAME_MAX);
        if (limit > 0) {
            return static_cast<std::size_t>(limit);
        }
        if (!place.has_relative_path() || place.parent_path() == place) {
            return NAME_MAX;
        }
        place = place.parent_path();
        if (place.empty()) {
            place = ".";
        }
    }
}

std::optional<std::string> FreeFileName(const TFileNamePattern& pattern, TNameUse use,
                                        std::string* errorText, TFileIdentity* created) {
    const std::size_t limit = FileNameLimit(pattern.Folder);
    for (unsigned long long n = 0;; ++n) {
        std::string candidate = NameAt(pattern, n, limit);
        if (use == TNameUse::Propose) {
            if (!NameTaken(candidate)) {
                return candidate;
            }
            continue;
        }
        switch (CreateExclusively(candidate, created, errorText)) {
            case Claim::Created:
                return candidate;
            case Claim::Failed:
                return std::nullopt;
            case Claim::Taken:
                break;
        }
    }
}

TFileNamePattern MergeOutputPattern(std::string_view folder, std::string_view videoFile,
                                    std::string_view audioInput, std::string_view suffix) {
    TFileNamePattern pattern;
    pattern.Folder = folder;
    pattern.Prefix = "merger-";
    pattern.Parts = {FileNameWithoutExtension(videoFile), FileNameWithoutExtension(audioInput)};
    pattern.Separator = "-";
    pattern.Ending = OutputEnding(suffix);
    return pattern;
}

TFileNamePattern TempAudioPattern(std::string_view folder, std::string_view firstAudioFile,
                                  std::string_view suffix) {
    TFileNamePattern pattern;
    pattern.Folder = folder;
    pattern.Prefix = "tempaudio-";
    pattern.Parts = {FileNameWithoutExtension(firstAudioFile)};
    pattern.Ending = [suffix = std::string(suffix)](unsigned long long n) {
        return (n == 0 ? std::string() : "_(" + std::to_string(n) + ")") + suffix;
    };
    return pattern;
}

TFileNamePattern PartialOutputPattern(std::string_view folder, std::string_view suffix) {
    TFileNamePattern pattern;
    pattern.Folder = folder;
    pattern.Prefix = ".tavrin-partial-" + std::to_string(::getpid());
    pattern.Ending = [suffix = std::string(suffix)](unsigned long long n) {
        return (n == 0 ? std::string() : "-" + std::to_string(n)) + suffix;
    };
    return pattern;
}

std::string PrepareOutputFolder(TSettings& settings, const WarningSink& warn) {
    const std::string folder = settings.OutputDir();
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        fs::create_directories(folder, error);
        if (error || !fs::is_directory(folder)) {
            if (warn) {
                warn("Warning", "The output folder " + folder + " cannot be created" +
                                    (error ? ": " + error.message() : std::string()) + ".");
            }
            const std::string fallback = DefaultOutputDir();
            std::error_code ignored;
            fs::create_directories(fallback, ignored);
            settings.SetOutputDir(fallback);
        }
    }
    return folder;
}

}  // namespace tavrin

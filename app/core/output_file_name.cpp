#include "app/core/output_file_name.h"

#include <filesystem>
#include <system_error>

#include "app/core/global_object.h"
#include "app/core/path_text.h"
#include "app/core/settings.h"

namespace tavrin {

namespace {

namespace fs = std::filesystem;

// A dangling symbolic link counts as taken: writing through it would create
// its target somewhere else.
bool NameTaken(const std::string& path) {
    std::error_code error;
    const auto status = fs::symlink_status(path, error);
    return !error && status.type() != fs::file_type::not_found;
}

}  // namespace

std::string MakeOutputFileName(TSettings& settings, std::string_view baseName,
                               std::string_view suffix, const WarningSink& warn) {
    std::string folder = settings.OutputDir();

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

    if (RightPart(folder, 1) != "/") {
        folder += '/';
    }
    const std::string stem = folder + FileNameWithoutExtension(baseName);

    std::string candidate = stem + "_(new)" + std::string(suffix);
    for (unsigned long long counter = 1; NameTaken(candidate); ++counter) {
        candidate = stem + "_(new_" + std::to_string(counter) + ")" + std::string(suffix);
    }
    return candidate;
}

}  // namespace tavrin

#include "app/core/output_folder_rule.h"

#include <linux/magic.h>
#include <sys/vfs.h>

#include <cctype>

#include "app/core/global_object.h"
#include "app/core/path_text.h"
#include "app/core/settings.h"

namespace tavrin {

namespace {

// Drive roots of the old platform ("C:\") had three characters; a path this
// short is a file system root or a folder directly below it.
constexpr std::size_t kShortestValidFolder = 4;

std::string TrimmedUserName(std::string name) {
    const auto notBlank = [](char c) {
        return c != '\0' && std::isspace(static_cast<unsigned char>(c)) == 0;
    };
    while (!name.empty() && !notBlank(name.back())) {
        name.pop_back();
    }
    std::size_t start = 0;
    while (start < name.size() && !notBlank(name[start])) {
        ++start;
    }
    return name.substr(start);
}

}  // namespace

bool IsOnOpticalDisc(const std::string& folder) {
    struct statfs info {};
    if (folder.empty() || statfs(folder.c_str(), &info) != 0) {
        return false;
    }
    const auto type = static_cast<unsigned long>(info.f_type);
    return type == ISOFS_SUPER_MAGIC || type == UDF_SUPER_MAGIC;
}

TFolderChecks SystemFolderChecks() {
    return {IsOnOpticalDisc, CanWriteToDirectory, GetCurrentUserName, FallbackOutputDir};
}

TFolderChoice DecideOutputFolder(const std::string& chosen, const std::string& current,
                                 const TFolderChecks& checks) {
    if (chosen.empty() || chosen == current) {
        return {};
    }
    if (Utf8Length(chosen) < kShortestValidFolder) {
        return {TFolderChoiceOutcome::NotValid,
                "The path " + chosen + " is not a valid directory.",
                {}};
    }
    if (checks.isOnOpticalDisc(chosen)) {
        return {TFolderChoiceOutcome::OnOpticalDisc, std::string(kOpticalDiscMessage), {}};
    }
    if (!checks.canWrite(chosen)) {
        return {TFolderChoiceOutcome::NoPermission,
                "You login as " + TrimmedUserName(checks.userName()) +
                    " .You don't have permission to write to directory:" + chosen,
                checks.fallbackFolder()};
    }
    return {TFolderChoiceOutcome::Stored, {}, chosen};
}

}  // namespace tavrin

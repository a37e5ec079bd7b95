#include "media/options/output_over_input.h"

#include <sys/stat.h>

#include <string_view>

#include "media/runtime/media_file_name.h"
#include "media/runtime/string_format.h"
#include "media/runtime/unicode_protocol.h"

namespace tavrin {

namespace {

// The regular file a media-library name stands for; false for anything else
// (a device, a pipe, a URL, a file that does not exist).
bool RegularFileOf(std::string_view media_name, struct stat& info) {
    const std::string path = LocalPathOfMediaName(media_name);
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::string LocalPathOfMediaName(std::string_view media_name) {
    constexpr std::string_view kFileProtocol = "file:";
    const std::string_view unicode_prefix = kUnicodeProtocolPrefix;
    if (media_name.substr(0, kFileProtocol.size()) == kFileProtocol) {
        return std::string(media_name.substr(kFileProtocol.size()));
    }
    if (media_name.substr(0, unicode_prefix.size()) == unicode_prefix) {
        return StripUnicodeProtocolPrefix(media_name);
    }
    return std::string(media_name);
}

std::optional<std::string> OutputOverInputError(const TCustomFFmpegOpt& task,
                                                const std::string& output_name) {
    struct stat output {};
    if (!RegularFileOf(ToMediaFileName(output_name), output)) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < task.input_files.size(); ++i) {
        const AVFormatContext* input = task.input_files[i]->ctx.get();
        struct stat info {};
        if (input != nullptr && input->url != nullptr && RegularFileOf(input->url, info) &&
            info.st_dev == output.st_dev && info.st_ino == output.st_ino) {
            return StringPrintf(
                "Output file %s is the same file as input #%d %s; it would be written over "
                "while it is read.",
                output_name.c_str(), static_cast<int>(i), FromMediaFileName(input->url).c_str());
        }
    }
    return std::nullopt;
}

}  // namespace tavrin

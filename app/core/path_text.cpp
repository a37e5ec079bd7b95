#include "app/core/path_text.h"

namespace tavrin {

std::string ExtractFileName(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string FileNameWithoutExtension(std::string_view path) {
    std::string name = ExtractFileName(path);
    const auto point = name.rfind('.');
    if (point != std::string::npos && point > 0) {
        name.erase(point);
    }
    return name;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string joined(folder);
    if (!joined.empty() && joined.back() != '/') {
        joined += '/';
    }
    joined += name;
    return joined;
}

std::size_t Utf8Length(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) {
        // Continuation bytes (10xxxxxx) do not start a character.
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

}  // namespace tavrin

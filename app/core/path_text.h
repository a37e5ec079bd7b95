// Small text operations on file paths, with "/" as the only separator.
#pragma once

#include <string>
#include <string_view>

namespace tavrin {

// The part after the last "/" (the whole text when it has none).
std::string ExtractFileName(std::string_view path);

// The file-name part with its last extension dropped: "/a/b/song.x.mp3" gives
// "song.x". A name whose only point is its first character (".hidden") is a
// name, not an extension, and stays whole.
std::string FileNameWithoutExtension(std::string_view path);

// folder + "/" + name with exactly one separator between them; an empty folder
// gives the name alone.
std::string JoinPath(std::string_view folder, std::string_view name);

// Number of characters (code points) of a UTF-8 text.
std::size_t Utf8Length(std::string_view text);

}  // namespace tavrin

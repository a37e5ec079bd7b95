// Free file names in the output folder: one rule names the merge's output and
// its temporary joined audio file, for the dry run and for the merge alike.
// A name is a fixed prefix, parts that are shortened (on character
// boundaries) when the whole would not fit the file system's limit, and an
// ending that carries the counter of the try and the suffix.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/created_file.h"

namespace tavrin {

class TSettings;

// Shows a warning to the user: title and text.
using WarningSink = std::function<void(std::string_view title, std::string_view text)>;

struct TFileNamePattern {
    std::string Folder;
    std::string Prefix;              // kept whole
    std::vector<std::string> Parts;  // shortened to fit, the longest first
    std::string Separator;           // between the parts
    // The ending of try `n` (0 first): counter and suffix, kept whole.
    std::function<std::string(unsigned long long n)> Ending;
};

// The full path of try `n`, shortened to `nameLimit` bytes of file name.
std::string NameAt(const TFileNamePattern& pattern, unsigned long long n, std::size_t nameLimit);

// The longest file name the folder takes (NAME_MAX when it cannot be asked).
std::size_t FileNameLimit(const std::string& folder);

enum class TNameUse {
    // The first name not taken; nothing is created.
    Propose,
    // The first name that could be created as a new empty file, exclusively
    // and never through a link, so that no other merge can take it too.
    Reserve,
};

// The first free name of the pattern. A name is taken when anything has it,
// a dangling symbolic link too (writing through it would create its target
// elsewhere). nullopt (Reserve only) with the reason in errorText when the
// file cannot be created for another reason than a taken name. A reserved
// file's identity goes to `created`.
std::optional<std::string> FreeFileName(const TFileNamePattern& pattern, TNameUse use,
                                        std::string* errorText = nullptr,
                                        TFileIdentity* created = nullptr);

// "merger-" + video name without its extension + "-" + audio input name
// without its extension + "_(new)" (then "_(new_<n>)") + suffix.
TFileNamePattern MergeOutputPattern(std::string_view folder, std::string_view videoFile,
                                    std::string_view audioInput, std::string_view suffix);

// "tempaudio-" + first audio name without its extension + suffix (then
// "_(<n>)" + suffix).
TFileNamePattern TempAudioPattern(std::string_view folder, std::string_view firstAudioFile,
                                  std::string_view suffix = ".mp3");

// The hidden name an output is written under until its task has finished:
// ".tavrin-partial-" + process id (then "-<n>") + suffix, in the output's
// folder, so that the muxer sees the output's suffix and the rename stays
// on one file system.
TFileNamePattern PartialOutputPattern(std::string_view folder, std::string_view suffix);

// The stored output folder, created with its parents when missing. When it
// cannot be created, warn() is told, the default folder is created and stored
// for later merges, and the folder read is still returned (the merge then
// reports the failure when it opens its output).
std::string PrepareOutputFolder(TSettings& settings, const WarningSink& warn);

}  // namespace tavrin

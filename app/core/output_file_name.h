// Free output file names in the output folder.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tavrin {

class TSettings;

// Shows a warning to the user: title and text.
using WarningSink = std::function<void(std::string_view title, std::string_view text)>;

// Full path of a file that does not exist yet in the stored output folder:
// folder + "/" + the base name's file name without its last extension +
// "_(new)" + suffix, or "_(new_<n>)" for the first free n = 1, 2, ...
// When the folder is missing and cannot be created, warn() is told, the
// default folder is created and stored for later merges, and this name is
// still built in the folder that was read (the merge then reports the failure
// when it opens the output).
std::string MakeOutputFileName(TSettings& settings, std::string_view baseName,
                               std::string_view suffix, const WarningSink& warn);

}  // namespace tavrin

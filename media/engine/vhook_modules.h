// "-vhook" picture modules: splitting the option's text into words and
// loading a module for a task. A module file is loaded once per process and
// stays loaded; each task that names it configures a node of its own.
#pragma once

#include <string>
#include <vector>

#include "media/engine/hooks.h"

namespace tavrin {

// At most this many words of a "-vhook" text are used; later ones are
// dropped with a warning.
inline constexpr std::size_t kMaxVHookWords = 64;

// Splits at "|" when the text holds one (blanks then belong to the words),
// else at every blank (runs of blanks give no empty words).
std::vector<std::string> SplitVHookWords(const std::string& text);

// Loads words[0] with words as its arguments and appends its configured node
// to `modules`. 0, -2 (no words, or a missing entry point), -1 (the file
// cannot be loaded), -12 or -22 (Configure failed); failures are logged at
// the library's error level.
int load_hook_module(const std::vector<std::string>& words, std::vector<THookModule>& modules);

}  // namespace tavrin

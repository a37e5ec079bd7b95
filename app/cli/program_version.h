// The --version answer shared by the command-line programs: the program's
// name and the project version the build was made from.
#pragma once

#include <string>
#include <string_view>

namespace tavrin::cli {

// "tavrin-merge 1.0.0.0".
std::string VersionLine(std::string_view program);

// Prints the version line on standard output when the only argument is
// "--version"; true when it did (the program then ends with status 0).
bool PrintVersionIfAsked(std::string_view program, int argc, char** argv);

}  // namespace tavrin::cli

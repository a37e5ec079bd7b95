#include "app/cli/program_version.h"

#include <cstdio>

namespace tavrin::cli {

std::string VersionLine(std::string_view program) {
    return std::string(program) + " " + std::to_string(TAVRIN_VERSION_MAJOR + 0) + "." +
           std::to_string(TAVRIN_VERSION_MINOR + 0) + "." +
           std::to_string(TAVRIN_VERSION_PATCH + 0) + "." +
           std::to_string(TAVRIN_VERSION_TWEAK + 0);
}

bool PrintVersionIfAsked(std::string_view program, int argc, char** argv) {
    if (argc != 2 || std::string_view(argv[1]) != "--version") {
        return false;
    }
    std::printf("%s\n", VersionLine(program).c_str());
    return true;
}

}  // namespace tavrin::cli

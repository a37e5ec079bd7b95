// Reads the shared-library dependencies (DT_NEEDED entries) of an ELF file
// without loading it: the loader uses it to take a library's dependencies from
// the library's own folder, and the tests to check what our binaries link.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavrin {

// True when the file starts with the ELF magic bytes.
bool IsElfFile(const std::filesystem::path& file);

// The DT_NEEDED names of a 64-bit little-endian ELF file, in file order; an
// empty list for files without a dynamic section (objects, static programs).
// nullopt, with the reason in *error, for anything else: unreadable files,
// other ELF classes, or malformed headers.
std::optional<std::vector<std::string>> ReadElfNeeded(const std::filesystem::path& file,
                                                      std::string* error = nullptr);

}  // namespace tavrin

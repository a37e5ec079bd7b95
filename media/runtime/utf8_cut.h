// Cutting UTF-8 text to a byte length, as file names must be.
#pragma once

#include <cstddef>
#include <string_view>

namespace tavrin {

// At most `bytes` bytes of the UTF-8 text, never cutting a character in two.
std::string_view CutUtf8(std::string_view text, std::size_t bytes);

}  // namespace tavrin

// printf-style formatting into a std::string, for messages whose wording is
// fixed as printf patterns.
#pragma once

#include <cstdarg>
#include <string>

namespace tavrin {

std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StringVPrintf(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

}  // namespace tavrin

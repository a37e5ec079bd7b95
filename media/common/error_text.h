// Messages for the libraries' error codes.
#pragma once

#include <string>

namespace tavrin {

// The message of a library error code (the libraries' own codes, then
// negated errno values), else "Error number <code> occurred"; with a non-empty
// prefix the result is prefix + ": " + message.
std::string ErrorText(const std::string& prefix, int code);
inline std::string ErrorText(int code) {
    return ErrorText(std::string(), code);
}

}  // namespace tavrin

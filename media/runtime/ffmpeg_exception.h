// Raised failures of the media components. Nothing crosses a thread boundary
// as an exception: every worker catches, logs and reports.
#pragma once

#include <stdexcept>
#include <string>

namespace tavrin {

class FFmpegException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace tavrin

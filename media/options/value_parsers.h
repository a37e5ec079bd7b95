// Typed value parsers of the option language, and the process-wide pending
// error text that option handlers and the parser leave for their caller.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin {

// Whole-text decimal conversions; unit suffixes are not accepted. A text that
// does not convert (or overflows) raises FFmpegException with
// "Expected integer|int64|float|double for \"<option>\" but found \"<text>\"".
std::int32_t ParseInteger(const std::string& option, const std::string& text);
std::int64_t ParseInt64(const std::string& option, const std::string& text);
float ParseFloat(const std::string& option, const std::string& text);
double ParseDouble(const std::string& option, const std::string& text);

// Microseconds of a duration ("90", "1:30", "01:02:03.5") or of a date as
// the library's time parser accepts them; raises FFmpegException with
// "Invalid duration|date specification for \"<option>\": \"<text>\"".
std::int64_t ParseTime(const std::string& option, const std::string& text, bool is_duration);

// The pending error text: set by option handlers, WriteOption, OptDefault
// and the splitter to the text of their last error; callers clear it before
// an operation and read it after a failure. Guarded by a lock.
std::string PendingErrorText();
void SetPendingErrorText(const std::string& text);
void ClearPendingErrorText();

}  // namespace tavrin

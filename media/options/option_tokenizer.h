// Cuts an options text of the option language into tokens, the way the
// command line of the original platform was cut into arguments: blanks and
// tabs separate tokens, double quotes group blanks into one token, and
// backslashes escape quotes only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavrin {

// The tokens of `text`, in order. The text ends at its end or at its first
// zero byte (options texts are zero-terminated 8-bit strings). Rules:
// - blanks and tabs between tokens are skipped;
// - n backslashes followed by a double quote give n / 2 backslashes; for an
//   even n the quote toggles the quoted state and is dropped, for an odd n it
//   is a literal quote;
// - inside a quoted part, two double quotes give one literal quote and end
//   the quoted part;
// - other backslashes are copied as they are;
// - a multibyte character of the locale's charset is copied whole.
// An unterminated quoted part simply runs to the end of the text.
std::vector<std::string> TokenizeOptions(std::string_view text);

}  // namespace tavrin

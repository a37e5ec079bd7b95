// File names handed to and read back from the media libraries. Names at the
// component boundary are UTF-8. Most are handed over as they are; names of
// image files (image sequences go through the libraries' image2 format) are
// handed over in the system code page, the locale's character set, which is
// UTF-8 on a normal system.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tavrin {

// Converted names longer than this are refused (FFmpegException), never cut.
inline constexpr std::size_t kMaxMediaFileNameLength = 2047;

// An 8-bit character set known to iconv, e.g. "UTF-8" or "ISO-8859-1".
class CodePage {
public:
    explicit CodePage(std::string charset) : charset_(std::move(charset)) {}

    const std::string& Charset() const { return charset_; }

    // Strict conversions: nullopt when a character has no form on the other
    // side (or the input is not valid in its own character set).
    std::optional<std::string> FromUtf8(std::string_view utf8) const;
    std::optional<std::string> ToUtf8(std::string_view text) const;

private:
    std::string charset_;
};

// The locale's character set as the environment selects it (LC_ALL, LC_CTYPE,
// LANG), read once; "ANSI_X3.4-1968" (ASCII) in the C locale.
const CodePage& SystemCodePage();

// How names are converted: in which code page, and whether the "unicode"
// protocol of the media libraries is there to take names the code page cannot
// represent.
struct MediaNameRules {
    const CodePage& code_page;
    bool unicode_protocol_registered;
};

// The system code page and UnicodeProtocolRegistered().
MediaNameRules SystemMediaNameRules();

// The name denotes an image file (by its extension).
bool IsImageFileName(std::string_view name);

// The name is a local file name that the code page cannot represent; URLs of
// the protocols unicode, stream, gopher, http, pipe, rtp, tcp and udp never
// are.
bool NeedsUnicodeProtocol(std::string_view name, const CodePage& code_page);
bool NeedsUnicodeProtocol(std::string_view name);

// The name to hand to the media libraries. Raises FFmpegException when the
// result would be longer than kMaxMediaFileNameLength bytes.
std::string ToMediaFileName(std::string_view name, const MediaNameRules& rules);
std::string ToMediaFileName(std::string_view name);

// The UTF-8 name of a name read back from a media context.
std::string FromMediaFileName(std::string_view name, const MediaNameRules& rules);
std::string FromMediaFileName(std::string_view name);

}  // namespace tavrin

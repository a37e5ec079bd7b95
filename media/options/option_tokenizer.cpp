#include "media/options/option_tokenizer.h"

#include <cstdlib>
#include <cwchar>

namespace tavrin {

namespace {

bool IsSeparator(char c) {
    return c == ' ' || c == '\t';
}

// Length of the character starting at `text`: more than one only for a
// multibyte character of the current locale that fits completely.
std::size_t CharacterLength(std::string_view text) {
    if (static_cast<unsigned char>(text.front()) < 0x80) {
        return 1;
    }
    std::mbstate_t state{};
    const std::size_t length = std::mbrlen(text.data(), text.size(), &state);
    if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2) ||
        length == 0) {
        return 1;
    }
    return length;
}

}  // namespace

std::vector<std::string> TokenizeOptions(std::string_view text) {
    // Zero-terminated semantics: nothing after the first zero byte counts.
    if (const auto zero = text.find('\0'); zero != std::string_view::npos) {
        text = text.substr(0, zero);
    }

    std::vector<std::string> tokens;
    std::size_t pos = 0;
    const std::size_t end = text.size();
    while (true) {
        while (pos < end && IsSeparator(text[pos])) {
            ++pos;
        }
        if (pos >= end) {
            break;
        }

        std::string token;
        bool quoted = false;
        while (pos < end) {
            const char c = text[pos];
            if (!quoted && IsSeparator(c)) {
                break;
            }
            if (c == '\\') {
                std::size_t run = 0;
                while (pos + run < end && text[pos + run] == '\\') {
                    ++run;
                }
                if (pos + run < end && text[pos + run] == '"') {
                    token.append(run / 2, '\\');
                    pos += run;
                    if (run % 2 == 1) {
                        token += '"';
                        ++pos;
                    }
                    // For an even run the quote is handled by the next turn.
                } else {
                    token.append(run, '\\');
                    pos += run;
                }
                continue;
            }
            if (c == '"') {
                if (quoted && pos + 1 < end && text[pos + 1] == '"') {
                    token += '"';
                    pos += 2;
                    quoted = false;
                } else {
                    quoted = !quoted;
                    ++pos;
                }
                continue;
            }
            const std::size_t length = CharacterLength(text.substr(pos));
            token.append(text.substr(pos, length));
            pos += length;
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

}  // namespace tavrin

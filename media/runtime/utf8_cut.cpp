#include "media/runtime/utf8_cut.h"

namespace tavrin {

std::string_view CutUtf8(std::string_view text, std::size_t bytes) {
    if (text.size() <= bytes) {
        return text;
    }
    // Back to the first byte of the character at the cut.
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

}  // namespace tavrin

#include "media/runtime/media_file_name.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>

#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/unicode_protocol.h"
#include "media/runtime/utf8_cut.h"

namespace tavrin {

namespace {

// Extensions the image2 format reads and writes; used because avformat does
// not export its own guess.
constexpr std::array<std::string_view, 48> kImageExtensions{
    "jpeg", "jpg",    "jps", "ljpg", "jls",      "png",      "pns",      "mng",      "ppm", "pnm",
    "pgm",  "pgmyuv", "pbm", "pam",  "mpg1-img", "mpg2-img", "mpg4-img", "ffv1-img", "y",   "raw",
    "bmp",  "gif",    "tga", "tiff", "tif",      "sgi",      "ptx",      "pcx",      "pix", "sun",
    "ras",  "rs",     "im1", "im8",  "im24",     "im32",     "sunras",   "j2c",      "j2k", "jp2",
    "jpc",  "dpx",    "exr", "pic",  "yuv10",    "xbm",      "xface",    "xwd"};

// URL schemes whose names are never local files.
constexpr std::string_view kUrlProtocols = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(x) == lower(y);
           });
}

struct IconvCloser {
    void operator()(void* descriptor) const { ::iconv_close(static_cast<iconv_t>(descriptor)); }
};

// Converts the whole text or nothing: a character without a form in the
// target set, an invalid input sequence or an unknown set give nullopt.
std::optional<std::string> Convert(const std::string& to, const std::string& from,
                                   std::string_view text) {
    const iconv_t descriptor = ::iconv_open(to.c_str(), from.c_str());
    if (descriptor == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    const std::unique_ptr<void, IconvCloser> guard(descriptor);

    std::string out(text.size() * 2 + 16, '\0');
    char* in_cursor = const_cast<char*>(text.data());  // iconv does not write to it
    std::size_t in_left = text.size();
    std::size_t used = 0;
    for (bool flushing = false;;) {
        char* out_cursor = out.data() + used;
        std::size_t out_left = out.size() - used;
        const std::size_t result =
            flushing ? ::iconv(descriptor, nullptr, nullptr, &out_cursor, &out_left)
                     : ::iconv(descriptor, &in_cursor, &in_left, &out_cursor, &out_left);
        used = static_cast<std::size_t>(out_cursor - out.data());
        if (result == static_cast<std::size_t>(-1)) {
            if (errno != E2BIG) {
                return std::nullopt;
            }
            out.resize(out.size() * 2);
            continue;
        }
        if (result != 0) {
            return std::nullopt;  // an approximated ("irreversible") character
        }
        if (flushing) {
            break;
        }
        flushing = true;  // ends a stateful target's shift sequence
    }
    out.resize(used);
    return out;
}

std::string SystemCharset() {
    locale_t locale = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (!locale) {
        locale = ::newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }
    std::string charset = locale ? ::nl_langinfo_l(CODESET, locale) : "";
    if (locale) {
        ::freelocale(locale);
    }
    if (charset.empty() || !Convert(charset, "UTF-8", "")) {
        charset = "UTF-8";
    }
    return charset;
}

// The UTF-8 name survives the way into the code page and back.
bool RepresentableIn(const CodePage& code_page, std::string_view name) {
    const auto converted = code_page.FromUtf8(name);
    if (!converted) {
        return false;
    }
    const auto back = code_page.ToUtf8(*converted);
    return back && *back == name;
}

bool IsValidUtf8(std::string_view text) {
    return Convert("UTF-8", "UTF-8", text).has_value();
}

}  // namespace

std::optional<std::string> CodePage::FromUtf8(std::string_view utf8) const {
    return Convert(charset_, "UTF-8", utf8);
}

std::optional<std::string> CodePage::ToUtf8(std::string_view text) const {
    return Convert("UTF-8", charset_, text);
}

const CodePage& SystemCodePage() {
    static const CodePage code_page(SystemCharset());
    return code_page;
}

MediaNameRules SystemMediaNameRules() {
    return MediaNameRules{SystemCodePage(), UnicodeProtocolRegistered()};
}

bool IsImageFileName(std::string_view name) {
    if (ff.ff_guess_image2_codec) {
        return ff.ff_guess_image2_codec(std::string(name).c_str()) != 0;
    }
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        return false;
    }
    const std::string_view extension = name.substr(dot + 1);
    return std::any_of(
        kImageExtensions.begin(), kImageExtensions.end(),
        [&](std::string_view known) { return EqualsIgnoringCase(known, extension); });
}

bool NeedsUnicodeProtocol(std::string_view name, const CodePage& code_page) {
    const std::size_t colon = name.find(':');
    if (colon != std::string_view::npos && colon > 0) {
        const std::string scheme = ":" + std::string(name.substr(0, colon)) + ":";
        if (kUrlProtocols.find(scheme) != std::string_view::npos) {
            return false;
        }
    }
    return !RepresentableIn(code_page, name);
}

bool NeedsUnicodeProtocol(std::string_view name) {
    return NeedsUnicodeProtocol(name, SystemCodePage());
}

std::string ToMediaFileName(std::string_view name, const MediaNameRules& rules) {
    std::string result;
    if (!IsImageFileName(name)) {
        result = name;
    } else if (rules.unicode_protocol_registered && NeedsUnicodeProtocol(name, rules.code_page)) {
        result = kUnicodeProtocolPrefix + std::string(name);
    } else if (auto converted = rules.code_page.FromUtf8(name)) {
        result = std::move(*converted);
    } else {
        // The code page cannot represent the name and no protocol takes it:
        // the UTF-8 bytes are what the file system holds for it, whereas a
        // lossy conversion would name a different file.
        result = name;
    }
    if (result.size() > kMaxMediaFileNameLength) {
        const std::string_view start = CutUtf8(name, 60);
        throw FFmpegException("File name too long for the media libraries (" +
                              std::to_string(result.size()) + " bytes, at most " +
                              std::to_string(kMaxMediaFileNameLength) + "): " + std::string(start) +
                              "...");
    }
    return result;
}

std::string ToMediaFileName(std::string_view name) {
    return ToMediaFileName(name, SystemMediaNameRules());
}

std::string FromMediaFileName(std::string_view name, const MediaNameRules& rules) {
    if (!IsImageFileName(name)) {
        return std::string(name);
    }
    const std::string_view prefix = kUnicodeProtocolPrefix;
    if (rules.unicode_protocol_registered && name.size() > prefix.size() &&
        name.substr(0, prefix.size()) == prefix) {
        return StripUnicodeProtocolPrefix(name);
    }
    // ToMediaFileName hands over UTF-8 what the code page cannot represent;
    // such a name comes back as it went.
    if (!RepresentableIn(rules.code_page, name) && IsValidUtf8(name)) {
        return std::string(name);
    }
    if (auto utf8 = rules.code_page.ToUtf8(name)) {
        return std::move(*utf8);
    }
    return std::string(name);
}

std::string FromMediaFileName(std::string_view name) {
    return FromMediaFileName(name, SystemMediaNameRules());
}

}  // namespace tavrin

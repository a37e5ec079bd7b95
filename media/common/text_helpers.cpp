#include "media/common/text_helpers.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "media/runtime/ff_api.h"
#include "media/runtime/logger.h"

namespace tavrin {

namespace {

std::string Trimmed(const char* text) {
    if (text == nullptr) {
        return {};
    }
    std::string_view view(text);
    while (!view.empty() && static_cast<unsigned char>(view.front()) <= ' ') {
        view.remove_prefix(1);
    }
    while (!view.empty() && static_cast<unsigned char>(view.back()) <= ' ') {
        view.remove_suffix(1);
    }
    return std::string(view);
}

// Seconds east of UTC of the local zone at the given moment.
long LocalOffsetSeconds(std::time_t moment) {
    std::tm local{};
    if (localtime_r(&moment, &local) == nullptr) {
        return 0;
    }
    return local.tm_gmtoff;
}

}  // namespace

std::string MetadataValue(const AVDictionary* dict, const std::string& key,
                          const std::string& default_value) {
    const AVDictionaryEntry* entry = ff.av_dict_get(dict, key.c_str(), nullptr, 0);
    return entry != nullptr && entry->value != nullptr ? std::string(entry->value) : default_value;
}

std::string CodecDisplayName(const AVCodecContext* ctx, bool encoder) {
    const AVCodec* codec =
        encoder ? ff.avcodec_find_encoder(ctx->codec_id) : ff.avcodec_find_decoder(ctx->codec_id);
    if (codec != nullptr) {
        const std::string long_name = Trimmed(codec->long_name);
        if (long_name.empty()) {
            return codec->name;
        }
        return std::string(codec->name) + "(" + long_name + ")";
    }
    if (ctx->codec_id == AV_CODEC_ID_MPEG2TS) {
        return "mpeg2ts";
    }
    // Contexts carry no free-text codec name any more; an opened context's
    // codec name is the closest to it.
    if (ctx->codec != nullptr) {
        const std::string own_name = Trimmed(ctx->codec->name);
        if (!own_name.empty()) {
            return own_name;
        }
    }
    const unsigned tag = ctx->codec_tag;
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(tag & 0xFF), static_cast<unsigned char>((tag >> 8) & 0xFF),
        static_cast<unsigned char>((tag >> 16) & 0xFF), static_cast<unsigned char>(tag >> 24)};
    char text[64];
    if (bytes[0] >= 32 && bytes[0] <= 126 && bytes[1] >= 32 && bytes[1] <= 126 && bytes[2] >= 32 &&
        bytes[2] <= 126 && bytes[3] >= 32 && bytes[3] <= 126) {
        std::snprintf(text, sizeof text, "%c%c%c%c / 0x%04X", bytes[0], bytes[1], bytes[2],
                      bytes[3], tag);
    } else {
        std::snprintf(text, sizeof text, "0x%04x", tag);
    }
    return text;
}

std::string MediaTypeName(int type) {
    switch (type) {
        case AVMEDIA_TYPE_VIDEO:
            return "Video";
        case AVMEDIA_TYPE_AUDIO:
            return "Audio";
        case AVMEDIA_TYPE_DATA:
            return "Data";
        case AVMEDIA_TYPE_SUBTITLE:
            return "Subtitle";
        case AVMEDIA_TYPE_ATTACHMENT:
            return "Attachment";
        default:
            return "Unknown";
    }
}

std::string FormatTimestamp(std::int64_t microseconds) {
    if (microseconds == AV_NOPTS_VALUE) {
        return "N/A";
    }
    // Widened so that values near the 64-bit limits cannot overflow.
    const __int128 t = static_cast<__int128>(microseconds) + 5000;
    const std::int64_t whole_seconds = static_cast<std::int64_t>(t / 1000000);
    const std::int64_t hours = whole_seconds / 3600;
    const std::int64_t minutes = whole_seconds / 60 % 60;
    const std::int64_t seconds = whole_seconds % 60;
    const std::int64_t milliseconds = static_cast<std::int64_t>(t % 1000000) * 1000 / 1000000;
    char text[96];
    std::snprintf(text, sizeof text, "%.2" PRId64 ":%.2" PRId64 ":%.2" PRId64 ".%.3" PRId64, hours,
                  minutes, seconds, milliseconds);
    return text;
}

std::string FormatStreamTime(std::int64_t value, AVRational time_base) {
    if (value == AV_NOPTS_VALUE) {
        return "N/A";
    }
    if (time_base.num != 1 || time_base.den != AV_TIME_BASE) {
        value = ff.av_rescale_q(value, time_base, AV_TIME_BASE_Q);
    }
    return FormatTimestamp(value);
}

std::int64_t FrameDuration(AVRational frame_rate) {
    if (frame_rate.num != 0 && frame_rate.den != 0) {
        return static_cast<std::int64_t>(1000000) * frame_rate.den / frame_rate.num;
    }
    return 40000;
}

std::string UtcOffsetText() {
    const long offset = LocalOffsetSeconds(std::time(nullptr));
    if (offset == 0) {
        return "UTC";
    }
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[32];
    std::snprintf(text, sizeof text, "%s%s%.2ld:%.2ld", "UTC", offset < 0 ? "-" : "+", minutes / 60,
                  minutes % 60);
    return text;
}

double UnixToLocalDateTime(std::int64_t seconds) {
    const double offset_days =
        static_cast<double>(LocalOffsetSeconds(static_cast<std::time_t>(seconds))) / 86400.0;
    return static_cast<double>(seconds) / 86400.0 + 25569.0 + offset_days;
}

int ReadWholeFile(const std::string& name, std::vector<char>& buffer) {
    buffer.clear();
    // Only a regular file is read. A folder opens on this platform but reads
    // nothing, and a named pipe would block the open until a writer came;
    // the open does not wait (regular files ignore O_NONBLOCK).
    const int descriptor = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    const bool regular = descriptor >= 0 && fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode);
    std::FILE* const stream = regular ? fdopen(descriptor, "rb") : nullptr;
    if (stream == nullptr) {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        LogFmt(nullptr, llError, "Cannot read file \"%s\"\n", name.c_str());
        return -1;
    }
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(stream, &std::fclose);
    off_t size = -1;
    if (fseeko(file.get(), 0, SEEK_END) == 0) {
        size = ftello(file.get());
    }
    if (size < 0 || fseeko(file.get(), 0, SEEK_SET) != 0) {
        LogFmt(nullptr, llError, "IO error\n");
        return AVERROR(EIO);
    }
    try {
        buffer.resize(static_cast<std::size_t>(size) + 1);
    } catch (const std::exception&) {
        buffer = std::vector<char>();
        LogFmt(nullptr, llError, "Could not allocate file buffer\n");
        return AVERROR(ENOMEM);
    }
    const std::size_t wanted = static_cast<std::size_t>(size);
    if (std::fread(buffer.data(), 1, wanted, file.get()) != wanted) {
        const bool failed = std::ferror(file.get()) != 0;
        buffer = std::vector<char>();
        if (failed) {
            LogFmt(nullptr, llError, "Error while reading file \"%s\"\n", name.c_str());
            return AVERROR(EIO);
        }
        return AVERROR_EOF;
    }
    buffer[wanted] = '\0';
    return 0;
}

}  // namespace tavrin

// The option handlers that store values of their own: stream ids, the
// recording time stamp, time codes, channel layouts, the video sync method,
// the progress output, complex filtergraphs, attachments, statistics files,
// library limits and the TimeStart / TimeLength options. Failures are
// returned (logged, pending error text, negative code) unless a value parser
// raises.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "media/common/error_text.h"
#include "media/common/text_helpers.h"
#include "media/options/ff_options.h"
#include "media/options/file_options.h"
#include "media/options/handler_support.h"
#include "media/options/option_table.h"
#include "media/options/value_parsers.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/media_file_name.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

// The option language's whole-text decimal conversions, answering nothing
// instead of raising.
std::optional<std::int32_t> TryInteger(const std::string& text) {
    try {
        return ParseInteger(std::string(), text);
    } catch (const FFmpegException&) {
        return std::nullopt;
    }
}

std::optional<double> TryDouble(const std::string& text) {
    try {
        return ParseDouble(std::string(), text);
    } catch (const FFmpegException&) {
        return std::nullopt;
    }
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string OutOfRange(const std::string& text, long long low, long long high) {
    return StringPrintf("The value for \"%s\" was \"%s\" which is not within %lld - %lld",
                        "streamid", text.c_str(), low, high);
}

// The bit mask of a layout the libraries parsed: a named or masked layout
// has one; a bare channel count takes the default layout of that count.
std::optional<std::uint64_t> LayoutMask(const AVChannelLayout& layout) {
    if (layout.order == AV_CHANNEL_ORDER_NATIVE) {
        return layout.u.mask;
    }
    if (layout.order != AV_CHANNEL_ORDER_UNSPEC) {
        return std::nullopt;
    }
    AVChannelLayout fallback{};
    ff.av_channel_layout_default(&fallback, layout.nb_channels);
    std::optional<std::uint64_t> mask;
    if (fallback.order == AV_CHANNEL_ORDER_NATIVE) {
        mask = fallback.u.mask;
    }
    ff.av_channel_layout_uninit(&fallback);
    return mask;
}

// Seconds with a fraction to whole microseconds (halves to even), forwarded
// to the microsecond form of the option.
int ForwardSeconds(TCustomFFmpegOpt& task, OptionsContext* ctx, const char* target,
                   const std::string& arg) {
    const std::optional<double> seconds = TryDouble(arg);
    const double microseconds = seconds ? *seconds * 1e6 : 0.0;
    // Beyond +-2^63 no 64-bit value holds the result.
    if (!seconds || !std::isfinite(microseconds) || std::fabs(microseconds) >= 9.2e18) {
        return RefuseOption(task, llError, AVERROR(EINVAL),
                            "'" + arg + "' is not a valid floating point value");
    }
    const auto rounded = static_cast<std::int64_t>(std::nearbyint(microseconds));
    return ForwardToOption(task, ctx, target, std::to_string(rounded));
}

}  // namespace

int OptMaxAlloc(TCustomFFmpegOpt& task, OptionsContext* /*ctx*/, const std::string& /*name*/,
                const std::string& arg) {
    // An empty text converts to nothing: it must not become a limit of 0,
    // which would fail every later allocation of the process.
    char* end = nullptr;
    errno = 0;
    const long long limit = std::strtoll(arg.c_str(), &end, 10);
    if (arg.empty() || end == arg.c_str() || *end != '\0' || errno == ERANGE) {
        return RefuseOption(task, llFatal, AVERROR(EINVAL), "Invalid max_alloc \"" + arg + "\".");
    }
    ff.av_max_alloc(static_cast<std::size_t>(limit));
    return 0;
}

int OptCpuFlags(TCustomFFmpegOpt& task, OptionsContext* /*ctx*/, const std::string& /*name*/,
                const std::string& arg) {
    unsigned flags = static_cast<unsigned>(ff.av_get_cpu_flags());
    const int result = ff.av_parse_cpu_caps(&flags, arg.c_str());
    if (result < 0) {
        return RefuseOption(task, llFatal, result,
                            "Failed to parse cpu flags \"" + arg + "\": " + ErrorText(result));
    }
    ff.av_force_cpu_flags(static_cast<int>(flags));
    return 0;
}

int OptRecordingTimestamp(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                          const std::string& arg) {
    const std::int64_t microseconds = ParseTime(name, arg, false);
    const auto seconds =
        static_cast<std::time_t>(std::llround(static_cast<long double>(microseconds) / 1e6L));
    // Muxers read the creation time in ISO 8601; a time zone is only
    // understood as "Z", so the time is given in UTC.
    std::tm utc{};
    if (gmtime_r(&seconds, &utc) == nullptr) {
        throw FFmpegException("Invalid date specification for \"" + name + "\": \"" + arg + "\"");
    }
    const std::string text =
        StringPrintf("creation_time=%04d-%02d-%02dT%02d:%02d:%02d.000000Z", utc.tm_year + 1900,
                     utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    const int result = ForwardToOption(task, ctx, "metadata", text);
    LogFmt(&task, llWarning, "%s is deprecated, set the \"creation_time\" metadata tag instead.",
           name.c_str());
    return result;
}

int OptProgress(TCustomFFmpegOpt& task, OptionsContext* /*ctx*/, const std::string& /*name*/,
                const std::string& arg) {
    const std::string url = arg == "-" ? "pipe:" : arg;
    const AVIOInterruptCB interrupt = task.OutputInterrupt();
    AVIOContext* output = nullptr;
    task.ArmWriteTimer();
    const int result =
        ff.avio_open2(&output, ToMediaFileName(url).c_str(), AVIO_FLAG_WRITE, &interrupt, nullptr);
    if (result < 0) {
        return RefuseOption(task, llError, result,
                            "Failed to open progress URL \"" + url + "\": " + ErrorText(result));
    }
    task.progress_output.reset(output);
    return 0;
}

int OptVideoSync(TCustomFFmpegOpt& task, OptionsContext* /*ctx*/, const std::string& /*name*/,
                 const std::string& arg) {
    const std::string keyword = Lowercase(arg);
    if (keyword == "cfr") {
        task.video_sync_method = 1;
    } else if (keyword == "vfr") {
        task.video_sync_method = 2;
    } else if (keyword == "passthrough") {
        task.video_sync_method = 0;
    } else if (keyword == "drop") {
        task.video_sync_method = 255;
    }
    // A number only counts while the method is still automatic.
    if (task.video_sync_method == -1) {
        const std::optional<std::int32_t> method = TryInteger(arg);
        if (!method ||
            (*method != -1 && *method != 0 && *method != 1 && *method != 2 && *method != 255)) {
            return RefuseOption(task, llError, AVERROR(EINVAL),
                                StringPrintf("The value for \"%s\" was \"%s\" which is invalid",
                                             "vsync", arg.c_str()));
        }
        task.video_sync_method = *method;
    }
    return 0;
}

int OptFilterComplex(TCustomFFmpegOpt& task, OptionsContext* /*ctx*/, const std::string& /*name*/,
                     const std::string& arg) {
    try {
        auto graph = std::make_unique<FilterGraph>();
        graph->index = static_cast<std::int32_t>(task.filtergraphs.size());
        graph->description = arg;
        task.filtergraphs.push_back(std::move(graph));
    } catch (const std::bad_alloc&) {
        return AVERROR(ENOMEM);
    }
    return 0;
}

int OptAttach(TCustomFFmpegOpt& /*task*/, OptionsContext* ctx, const std::string& /*name*/,
              const std::string& arg) {
    if (ctx == nullptr) {
        return AVERROR(EINVAL);
    }
    ctx->attachments.push_back(arg);
    return 0;
}

int OptTimecode(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& /*name*/,
                const std::string& arg) {
    if (ctx == nullptr || ctx->group == nullptr) {
        return AVERROR(EINVAL);
    }
    if (ForwardToOption(task, ctx, "metadata:g", "timecode=" + arg) >= 0) {
        ff.av_dict_set(ctx->group->codec_opts.Address(), "gop_timecode", arg.c_str(), 0);
    }
    return 0;
}

int OptDeinterlace(TCustomFFmpegOpt& task, OptionsContext* /*ctx*/, const std::string& name,
                   const std::string& /*arg*/) {
    LogFmt(&task, llWarning, "-%s is deprecated, use -filter:v yadif instead", name.c_str());
    task.deinterlace = 1;
    return 0;
}

int OptVstats(TCustomFFmpegOpt& task, OptionsContext* /*ctx*/, const std::string& /*name*/,
              const std::string& /*arg*/) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    task.vstats_file =
        StringPrintf("vstats_%02d%02d%02d.log", local.tm_hour, local.tm_min, local.tm_sec);
    return 0;
}

int OptVstatsFile(TCustomFFmpegOpt& task, OptionsContext* /*ctx*/, const std::string& /*name*/,
                  const std::string& arg) {
    task.vstats_file = arg;
    return 0;
}

int OptStreamId(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                const std::string& arg) {
    if (ctx == nullptr) {
        return AVERROR(EINVAL);
    }
    const std::size_t colon = arg.find(':');
    const std::string index_text = colon != std::string::npos ? arg.substr(0, colon) : arg;
    const std::string value_text = colon != std::string::npos ? arg.substr(colon + 1) : "";
    const std::optional<std::int32_t> index = TryInteger(index_text);
    const std::optional<std::int32_t> value = TryInteger(value_text);
    if (colon == std::string::npos || !index || !value) {
        return RefuseOption(task, llError, AVERROR(EINVAL),
                            "Invalid value \"" + arg + "\" for option \"" + name +
                                "\", required syntax is \"index:value\"");
    }
    if (*index < 0 || *index > 1023) {
        return RefuseOption(task, llError, AVERROR(EINVAL), OutOfRange(index_text, 0, 1023));
    }
    if (*value < 0) {
        return RefuseOption(task, llError, AVERROR(EINVAL), OutOfRange(value_text, 0, INT_MAX));
    }
    GrowArray(ctx->stream_ids, static_cast<std::size_t>(*index) + 1);
    ctx->stream_ids[static_cast<std::size_t>(*index)] = *value;
    return 0;
}

int OptChannelLayout(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                     const std::string& arg) {
    if (ctx == nullptr) {
        return AVERROR(EINVAL);
    }
    AVChannelLayout layout{};
    std::optional<std::uint64_t> mask;
    if (ff.av_channel_layout_from_string(&layout, arg.c_str()) == 0) {
        mask = LayoutMask(layout);
    }
    const int channels = layout.nb_channels;
    ff.av_channel_layout_uninit(&layout);
    if (!mask) {
        return RefuseOption(task, llError, AVERROR(EINVAL), "Unknown channel layout: " + arg);
    }
    const int result = OptDefaultForFile(task, *ctx, name, std::to_string(*mask));
    if (result < 0) {
        return result;
    }
    // channel_layout:a gives ac:a.
    const std::size_t colon = name.find(':');
    const std::string channels_name =
        "ac" + (colon != std::string::npos ? name.substr(colon) : std::string());
    return ForwardToOption(task, ctx, channels_name, std::to_string(channels));
}

int OptTimeStart(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& /*name*/,
                 const std::string& arg) {
    return ForwardSeconds(task, ctx, "ss_microsecond", arg);
}

int OptTimeLength(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& /*name*/,
                  const std::string& arg) {
    return ForwardSeconds(task, ctx, "t_microsecond", arg);
}

}  // namespace tavrin

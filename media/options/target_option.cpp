// -target: the settings of the standard disc and camcorder formats (VCD,
// SVCD, DVD, DV) for PAL, NTSC or film, the norm guessed from the opened
// inputs when the argument does not name it.
#include <cmath>
#include <initializer_list>
#include <string>
#include <utility>

#include "media/options/ff_options.h"
#include "media/options/handler_support.h"
#include "media/options/option_table.h"

namespace tavrin {

namespace {

enum class Norm { Unknown, Pal, Ntsc, Film };

using Setting = std::pair<const char*, std::string>;

// The frame rate of the first video stream of the inputs that reads as
// 25 (PAL) or 29.97 / 23.976 (NTSC) decides.
Norm GuessNorm(const TCustomFFmpegOpt& task) {
    for (const auto& file : task.input_files) {
        for (int i = 0; i < file->stream_count; ++i) {
            const AVStream* st = file->ctx->streams[i];
            if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
                continue;
            }
            // The rate the decoder would time frames by: the stream's average
            // rate, else its base rate.
            AVRational rate = st->avg_frame_rate;
            if (rate.num <= 0 || rate.den <= 0) {
                rate = st->r_frame_rate;
            }
            if (rate.num <= 0 || rate.den <= 0) {
                continue;
            }
            const long long millihertz =
                std::llround(static_cast<double>(rate.num) * 1000.0 / rate.den);
            if (millihertz == 25000) {
                return Norm::Pal;
            }
            if (millihertz == 29970 || millihertz == 23976) {
                return Norm::Ntsc;
            }
        }
    }
    return Norm::Unknown;
}

class TargetWriter {
public:
    TargetWriter(TCustomFFmpegOpt& task, OptionsContext& ctx) : task_(task), ctx_(ctx) {}

    // As if written in the options text; the first failure is kept.
    void Forward(std::initializer_list<Setting> settings) {
        for (const auto& [name, value] : settings) {
            const int code = ForwardToOption(task_, &ctx_, name, value);
            if (code < 0 && result_ >= 0) {
                result_ = code;
            }
        }
    }
    void CodecOptions(std::initializer_list<Setting> settings) {
        Store(ctx_.group->codec_opts.Address(), settings);
    }
    void FormatOptions(std::initializer_list<Setting> settings) {
        Store(ctx_.group->format_opts.Address(), settings);
    }
    int result() const { return result_; }

private:
    void Store(AVDictionary** dict, std::initializer_list<Setting> settings) {
        for (const auto& [name, value] : settings) {
            const int code = ff.av_dict_set(dict, name, value.c_str(), 0);
            if (code < 0 && result_ >= 0) {
                result_ = code;
            }
        }
    }

    TCustomFFmpegOpt& task_;
    OptionsContext& ctx_;
    int result_ = 0;
};

}  // namespace

int OptTarget(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& /*name*/,
              const std::string& arg) {
    if (ctx == nullptr || ctx->group == nullptr) {
        return AVERROR(EINVAL);
    }
    Norm norm = Norm::Unknown;
    std::string target = arg;
    for (const auto& [prefix, prefix_norm] :
         {std::pair{"pal-", Norm::Pal}, std::pair{"ntsc-", Norm::Ntsc},
          std::pair{"film-", Norm::Film}}) {
        const std::string_view text(prefix);
        if (arg.compare(0, text.size(), text) == 0) {
            norm = prefix_norm;
            target = arg.substr(text.size());
            break;
        }
    }
    if (norm == Norm::Unknown) {
        norm = GuessNorm(task);
        if (norm == Norm::Unknown) {
            task.RaiseError(
                "Could not determine norm (PAL/NTSC/NTSC-Film) for target.\n"
                "Please prefix target with \"pal-\", \"ntsc-\" or \"film-\",\n"
                "or set a framerate with \"-r xxx\".");
        }
        LogFmt(&task, llInfo, "Assuming %s for target.", norm == Norm::Pal ? "PAL" : "NTSC");
    }

    const bool pal = norm == Norm::Pal;
    const std::string rate = pal ? "25" : norm == Norm::Ntsc ? "30000/1001" : "24000/1001";
    const std::string gop = pal ? "15" : "18";
    TargetWriter w(task, *ctx);

    if (target == "vcd") {
        w.Forward({{"codec:v", "mpeg1video"},
                   {"codec:a", "mp2"},
                   {"f", "vcd"},
                   {"s", pal ? "352x288" : "352x240"},
                   {"r", rate}});
        w.CodecOptions({{"g", gop},
                        {"b:v", "1150000"},
                        {"maxrate", "1150000"},
                        {"minrate", "1150000"},
                        {"bufsize", "327680"},
                        {"b:a", "224000"}});
        w.Forward({{"ar", "44100"}, {"ac", "2"}});
        w.FormatOptions({{"packetsize", "2324"}, {"muxrate", "1411200"}});
        // The VCD standard's preload: (36000 + 3 * 1200) / 90000 seconds.
        ctx->mux_preload = 0.44f;
    } else if (target == "svcd") {
        w.Forward({{"codec:v", "mpeg2video"},
                   {"codec:a", "mp2"},
                   {"f", "svcd"},
                   {"s", pal ? "480x576" : "480x480"},
                   {"r", rate},
                   {"pix_fmt", "yuv420p"}});
        w.CodecOptions({{"g", gop},
                        {"b:v", "2040000"},
                        {"maxrate", "2516000"},
                        {"minrate", "0"},
                        {"bufsize", "1835008"},
                        {"scan_offset", "1"},
                        {"b:a", "224000"}});
        w.Forward({{"ar", "44100"}});
        w.FormatOptions({{"packetsize", "2324"}});
    } else if (target == "dvd") {
        w.Forward({{"codec:v", "mpeg2video"},
                   {"codec:a", "ac3"},
                   {"f", "dvd"},
                   {"s", pal ? "720x576" : "720x480"},
                   {"r", rate},
                   {"pix_fmt", "yuv420p"}});
        w.CodecOptions({{"g", gop},
                        {"b:v", "6000000"},
                        {"maxrate", "9000000"},
                        {"minrate", "0"},
                        {"bufsize", "1835008"}});
        w.FormatOptions({{"packetsize", "2048"}, {"muxrate", "10080000"}});
        w.CodecOptions({{"b:a", "448000"}});
        w.Forward({{"ar", "48000"}});
    } else if (target.compare(0, 2, "dv") == 0) {
        const char* pix_fmt = target == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p";
        w.Forward({{"f", "dv"},
                   {"s", pal ? "720x576" : "720x480"},
                   {"pix_fmt", pix_fmt},
                   {"r", rate},
                   {"ar", "48000"},
                   {"ac", "2"}});
    } else {
        return RefuseOption(task, llError, AVERROR(EINVAL), "Unknown target: " + target);
    }
    return w.result();
}

}  // namespace tavrin

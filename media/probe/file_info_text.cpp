// The decoder's information text: container, chapters, programs and one line
// per stream, each followed by its metadata.
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "media/common/text_helpers.h"
#include "media/probe/custom_decoder.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/media_file_name.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

constexpr char kLineEnd[] = "\n";

void AddLine(std::string& text, const std::string& line) {
    text += line;
    text += kLineEnd;
}

std::string FormatFileSize(int64_t size) {
    if (size > 1073741824) {
        return StringPrintf("%.2f GB", static_cast<double>(size) / 1073741824.0);
    }
    if (size > 1048576) {
        return StringPrintf("%.2f MB", static_cast<double>(size) / 1048576.0);
    }
    if (size > 1024) {
        return StringPrintf("%.2f KB", static_cast<double>(size) / 1024.0);
    }
    return StringPrintf("%d Byte", static_cast<int>(size));
}

// "s.uuuuuu" of a time in microseconds. The sign is kept for times between -1
// and 0 s, whose whole seconds alone would not show it.
std::string FormatStartTime(int64_t microseconds) {
    const int64_t seconds = microseconds / AV_TIME_BASE;
    const int64_t fraction = std::llabs(microseconds % AV_TIME_BASE);
    const char* sign = microseconds < 0 && seconds == 0 ? "-" : "";
    return StringPrintf("%s%" PRId64 ".%.6" PRId64, sign, seconds, fraction);
}

// ", 25 fps", ", 29.97 tbr", ", 90k tbn".
std::string FormatRate(AVRational rate, const char* label) {
    const double value = av_q2d(rate);
    const int64_t hundredths = std::llround(value * 100);
    if (hundredths % 100 != 0) {
        return StringPrintf(", %3.2f %s", value, label);
    }
    if (hundredths % (100 * 1000) != 0) {
        return StringPrintf(", %1.0f %s", value, label);
    }
    return StringPrintf(", %1.0fk %s", value / 1000, label);
}

// "indent  key             : value" lines; values are split at control
// characters, a line feed starting a continuation line with a blank key.
void AppendMetadata(std::string& text, const char* indent, const AVDictionary* metadata) {
    if (metadata == nullptr || ff.av_dict_count(metadata) == 0) {
        return;
    }
    if (ff.av_dict_count(metadata) == 1 && ff.av_dict_get(metadata, "language", nullptr, 0)) {
        return;
    }
    AddLine(text, std::string(indent) + "Metadata:");
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = ff.av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        if (std::strcmp(entry->key, "language") == 0) {
            continue;
        }
        std::string line = StringPrintf("%s  %-16s: ", indent, entry->key);
        const char* p = entry->value;
        while (*p != '\0') {
            const size_t run = std::strcspn(p, "\x08\x0a\x0b\x0c\x0d");
            line.append(p, std::min<size_t>(run, 255));
            p += run;
            if (*p == '\r') {
                line += ' ';
            } else if (*p == '\n') {
                AddLine(text, line);
                line = StringPrintf("%s  %-16s: ", indent, "");
            }
            if (*p != '\0') {
                ++p;
            }
        }
        AddLine(text, line);
    }
}

struct DispositionWord {
    int flag;
    const char* word;
};

constexpr DispositionWord kDispositionWords[] = {
    {AV_DISPOSITION_DEFAULT, " (default)"},
    {AV_DISPOSITION_DUB, " (dub)"},
    {AV_DISPOSITION_ORIGINAL, " (original)"},
    {AV_DISPOSITION_COMMENT, " (comment)"},
    {AV_DISPOSITION_LYRICS, " (lyrics)"},
    {AV_DISPOSITION_KARAOKE, " (karaoke)"},
    {AV_DISPOSITION_FORCED, " (forced)"},
    {AV_DISPOSITION_HEARING_IMPAIRED, " (hearing impaired)"},
    {AV_DISPOSITION_VISUAL_IMPAIRED, " (visual impaired)"},
    {AV_DISPOSITION_CLEAN_EFFECTS, " (clean effects)"},
};

}  // namespace

void TCustomDecoder::AppendStreamLine(std::string& text, int stream_index) {
    const AVFormatContext* ctx = format_context_;
    const AVStream* st = ctx->streams[stream_index];
    std::string line = StringPrintf("  Stream #%d", stream_index);
    if (ctx->iformat != nullptr && (ctx->iformat->flags & AVFMT_SHOW_IDS) != 0) {
        line += StringPrintf("[0x%x]", st->id);
    }
    if (const AVDictionaryEntry* language = ff.av_dict_get(st->metadata, "language", nullptr, 0)) {
        line += StringPrintf("(%s)", language->value);
    }
    int64_t divisor = ff.av_gcd(st->time_base.num, st->time_base.den);
    if (divisor == 0) {
        divisor = 1;
    }
    line += StringPrintf(", %d/%d", static_cast<int>(st->time_base.num / divisor),
                         static_cast<int>(st->time_base.den / divisor));

    const AVCodecContext* codec = StreamCodecContext(stream_index);
    char description[256] = {};
    if (codec != nullptr) {
        ff.avcodec_string(description, sizeof description, const_cast<AVCodecContext*>(codec), 0);
    }
    line += ": ";
    line += description;

    if (codec != nullptr && st->sample_aspect_ratio.num != 0 &&
        av_cmp_q(st->sample_aspect_ratio, codec->sample_aspect_ratio) != 0) {
        AVRational display{0, 1};
        ff.av_reduce(&display.num, &display.den,
                     static_cast<int64_t>(codec->width) * st->sample_aspect_ratio.num,
                     static_cast<int64_t>(codec->height) * st->sample_aspect_ratio.den,
                     1024 * 1024);
        line += StringPrintf(", SAR %d:%d DAR %d:%d", st->sample_aspect_ratio.num,
                             st->sample_aspect_ratio.den, display.num, display.den);
    }
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        const auto both = [](AVRational q) { return q.num != 0 && q.den != 0; };
        if (both(st->avg_frame_rate)) {
            line += FormatRate(st->avg_frame_rate, "fps");
        }
        if (both(st->r_frame_rate)) {
            line += FormatRate(st->r_frame_rate, "tbr");
        }
        if (both(st->time_base)) {
            line += FormatRate(av_inv_q(st->time_base), "tbn");
        }
        if (codec != nullptr && both(codec->time_base)) {
            line += FormatRate(av_inv_q(codec->time_base), "tbc");
        }
    }
    for (const DispositionWord& word : kDispositionWords) {
        if ((st->disposition & word.flag) != 0) {
            line += word.word;
        }
    }
    if (st->start_time != AV_NOPTS_VALUE && st->time_base.den != 0) {
        line += ", start: " +
                FormatStartTime(ff.av_rescale_q(st->start_time, st->time_base, {1, AV_TIME_BASE}));
    }
    if (st->duration != AV_NOPTS_VALUE && st->time_base.den != 0) {
        line += ", duration: " + FormatStreamTime(st->duration, st->time_base);
    }
    AddLine(text, line);
    AppendMetadata(text, "  ", st->metadata);
}

std::string TCustomDecoder::FileInfoText() {
    if (NotLoaded()) {
        return {};
    }
    const AVFormatContext* ctx = format_context_;
    std::string text;
    AddLine(text, "File Name: " + FromMediaFileName(ctx->url != nullptr ? ctx->url : ""));
    if (ctx->iformat != nullptr) {
        AddLine(text, StringPrintf("Format Name: %s", ctx->iformat->name));
        if (ctx->iformat->long_name != nullptr) {
            AddLine(text, StringPrintf("Format Long Name: %s", ctx->iformat->long_name));
        }
    }
    AddLine(text, "File Size: " + FormatFileSize(InputSize()));
    AppendMetadata(text, "", ctx->metadata);

    std::string duration = "Duration: " + FormatTimestamp(ctx->duration);
    if (ctx->start_time != AV_NOPTS_VALUE) {
        duration += ", start: " + FormatStartTime(ctx->start_time);
    }
    duration += ", bitrate: ";
    duration += ctx->bit_rate < 1 ? std::string("N/A")
                                  : StringPrintf("%" PRId64 " kb/s", ctx->bit_rate / 1000);
    AddLine(text, duration);

    for (unsigned i = 0; i < ctx->nb_chapters; ++i) {
        const AVChapter* chapter = ctx->chapters[i];
        AddLine(text, StringPrintf("Chapter #%u: start %.6f, end %.6f", i,
                                   static_cast<double>(chapter->start) * av_q2d(chapter->time_base),
                                   static_cast<double>(chapter->end) * av_q2d(chapter->time_base)));
        AppendMetadata(text, "  ", chapter->metadata);
    }

    std::vector<bool> listed(ctx->nb_streams, false);
    if (ctx->nb_programs > 0) {
        unsigned listed_total = 0;
        for (unsigned p = 0; p < ctx->nb_programs; ++p) {
            const AVProgram* program = ctx->programs[p];
            const AVDictionaryEntry* name = ff.av_dict_get(program->metadata, "name", nullptr, 0);
            AddLine(text,
                    StringPrintf("Program %d %s", program->id, name != nullptr ? name->value : ""));
            AppendMetadata(text, "  ", program->metadata);
            for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
                const unsigned index = program->stream_index[k];
                if (index < ctx->nb_streams) {
                    AppendStreamLine(text, static_cast<int>(index));
                    listed[index] = true;
                }
            }
            listed_total += program->nb_stream_indexes;
        }
        if (listed_total < ctx->nb_streams) {
            AddLine(text, "No Program");
        }
    }
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        if (!listed[i]) {
            AppendStreamLine(text, static_cast<int>(i));
        }
    }
    return text;
}

}  // namespace tavrin

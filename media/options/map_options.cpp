// -map and -map_channel: which input streams (or filtergraph outputs) and
// which audio channels go to the output. Maps are matched against the input
// files the task has already opened; every failure is raised.
#include <cstdlib>
#include <string>

#include "media/options/handler_support.h"
#include "media/options/option_table.h"
#include "media/options/stream_options.h"

namespace tavrin {

namespace {

// The index at the start of `text` (C conventions: "0x" selects hex), and
// where the text after it begins.
long LeadingIndex(const char* text, const char** rest) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 0);
    *rest = end;
    return value;
}

bool IsFileIndex(const TCustomFFmpegOpt& task, long index) {
    return index >= 0 && index < static_cast<long>(task.input_files.size());
}

// Index of the first stream of `file` matching `specifier`, or -1.
int FirstMatchingStream(const InputFile& file, const char* specifier) {
    AVFormatContext* ic = file.ctx.get();
    for (int i = 0; i < file.stream_count; ++i) {
        if (CheckStreamSpecifier(ic, ic->streams[i], specifier) == 1) {
            return i;
        }
    }
    return -1;
}

// A map's specifier follows the index after one separator character.
const char* SpecifierAfterIndex(const char* rest) {
    return *rest != '\0' ? rest + 1 : rest;
}

// sscanf's "%d": optional blanks and sign, at least one digit. Values beyond
// the 32-bit range saturate rather than overflow.
bool ScanInt(const char*& cursor, int& value) {
    const char* p = cursor;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    long long number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (number <= INT_MAX) {
            number = number * 10 + (*p - '0');
        }
    }
    if (negative) {
        number = -number;
    }
    value = static_cast<int>(number < INT_MIN ? INT_MIN : number > INT_MAX ? INT_MAX : number);
    cursor = p;
    return true;
}

// Reads numbers separated by the literal characters of `separators` (one
// between each pair), as sscanf with "%d<sep>%d<sep>..." does; returns how
// many numbers were read.
int ScanInts(const char* text, const char* separators, int* values, int count) {
    const char* cursor = text;
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            if (*cursor != separators[i - 1]) {
                return i;
            }
            ++cursor;
        }
        if (!ScanInt(cursor, values[i])) {
            return i;
        }
    }
    return count;
}

}  // namespace

int OptMap(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& /*name*/,
           const std::string& arg) {
    if (ctx == nullptr) {
        return AVERROR(EINVAL);
    }
    const bool negative = !arg.empty() && arg[0] == '-';
    std::string map = negative ? arg.substr(1) : arg;

    int sync_file = -1;
    int sync_stream = -1;
    if (const std::size_t comma = map.find(','); comma != std::string::npos) {
        const std::string sync = map.substr(comma + 1);
        map.resize(comma);
        const char* rest = nullptr;
        const long index = LeadingIndex(sync.c_str(), &rest);
        if (!IsFileIndex(task, index)) {
            task.RaiseErrorFmt("Invalid sync file index: %ld.", index);
        }
        sync_file = static_cast<int>(index);
        sync_stream = FirstMatchingStream(*task.input_files[static_cast<std::size_t>(index)],
                                          SpecifierAfterIndex(rest));
        if (sync_stream < 0) {
            task.RaiseErrorFmt("Sync stream specification in map %s does not match any streams.",
                               arg.c_str());
        }
    }

    if (!map.empty() && map[0] == '[') {
        // A filtergraph output, by the label written between the brackets.
        const char* cursor = map.c_str() + 1;
        char* token = ff.av_get_token(&cursor, "]");
        const std::string label = token != nullptr ? token : "";
        ff.av_free(token);
        if (label.empty()) {
            task.RaiseErrorFmt("Invalid output link label: %s.", map.c_str());
        }
        StreamMap& entry = ctx->stream_maps.emplace_back();
        entry.file_index = entry.stream_index = -1;
        entry.sync_file_index = entry.sync_stream_index = -1;
        entry.link_label = label;
        return 0;
    }

    const char* rest = nullptr;
    const long index = LeadingIndex(map.c_str(), &rest);
    if (!IsFileIndex(task, index)) {
        task.RaiseErrorFmt("Invalid input file index: %ld.", index);
    }
    const int file_index = static_cast<int>(index);
    const InputFile& file = *task.input_files[static_cast<std::size_t>(index)];
    AVFormatContext* ic = file.ctx.get();
    const char* specifier = SpecifierAfterIndex(rest);

    bool matched = false;
    if (negative) {
        // Disables what earlier maps of this file selected; passes silently
        // when none of them matches.
        for (StreamMap& entry : ctx->stream_maps) {
            matched = true;
            if (!entry.link_label.empty() || entry.file_index != file_index ||
                entry.stream_index < 0 || entry.stream_index >= file.stream_count) {
                continue;
            }
            if (CheckStreamSpecifier(ic, ic->streams[entry.stream_index], specifier) > 0) {
                entry.disabled = 1;
            }
        }
    } else {
        for (int i = 0; i < file.stream_count; ++i) {
            if (CheckStreamSpecifier(ic, ic->streams[i], specifier) <= 0) {
                continue;
            }
            StreamMap& entry = ctx->stream_maps.emplace_back();
            entry.file_index = file_index;
            entry.stream_index = i;
            entry.sync_file_index = sync_file >= 0 ? sync_file : file_index;
            entry.sync_stream_index = sync_file >= 0 ? sync_stream : i;
            matched = true;
        }
    }
    if (!matched) {
        task.RaiseErrorFmt("Stream map \"%s\" matches no streams.", arg.c_str());
    }
    return 0;
}

int OptMapChannel(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& /*name*/,
                  const std::string& arg) {
    if (ctx == nullptr) {
        return AVERROR(EINVAL);
    }
    AudioChannelMap& entry = ctx->channel_maps.emplace_back();

    // "-1[:file.stream]": a muted channel.
    int muted[3] = {0, 0, 0};
    const int muted_count = ScanInts(arg.c_str(), ":.", muted, 3);
    if ((muted_count == 1 || muted_count == 3) && muted[0] == -1) {
        entry.file_idx = entry.stream_idx = entry.channel_idx = -1;
        entry.out_file_idx = muted_count == 3 ? muted[1] : -1;
        entry.out_stream_idx = muted_count == 3 ? muted[2] : -1;
        return 0;
    }

    int values[5] = {0, 0, 0, -1, -1};
    const int count = ScanInts(arg.c_str(), "..:.", values, 5);
    if (count != 3 && count != 5) {
        task.RaiseError(
            "Syntax error, mapchan usage: [file.stream.channel|-1][:syncfile:syncstream]");
    }
    if (count == 3) {
        values[3] = values[4] = -1;  // any output file and stream
    }
    entry.file_idx = values[0];
    entry.stream_idx = values[1];
    entry.channel_idx = values[2];
    entry.out_file_idx = values[3];
    entry.out_stream_idx = values[4];

    if (!IsFileIndex(task, entry.file_idx)) {
        task.RaiseErrorFmt("mapchan: invalid input file index: %d", entry.file_idx);
    }
    const InputFile& file = *task.input_files[static_cast<std::size_t>(entry.file_idx)];
    if (entry.stream_idx < 0 || entry.stream_idx >= file.stream_count) {
        task.RaiseErrorFmt("mapchan: invalid input file stream index #%d.%d", entry.file_idx,
                           entry.stream_idx);
    }
    const AVStream* st = file.ctx->streams[entry.stream_idx];
    if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
        task.RaiseErrorFmt("mapchan: stream #%d.%d is not an audio stream.", entry.file_idx,
                           entry.stream_idx);
    }
    if (entry.channel_idx < 0 || entry.channel_idx >= st->codecpar->ch_layout.nb_channels) {
        task.RaiseErrorFmt("mapchan: invalid audio channel #%d.%d.%d", entry.file_idx,
                           entry.stream_idx, entry.channel_idx);
    }
    return 0;
}

}  // namespace tavrin

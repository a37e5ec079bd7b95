// Opening the output file of a task: its options, the output streams (maps,
// complex filtergraph outputs or the automatic choice), attachments, time
// limits, the file itself, metadata and chapters. A join of several inputs
// into the one output follows in join.h.
#pragma once

#include <string>

#include "media/options/transcode_context.h"

namespace tavrin {

// Sets up the task's output after its inputs were opened. Returns the new
// output file's index, the option parser's negative code when the options
// text fails, or -1 with LastError for every later failure. A failure removes
// what this call made: the output file record, the streams it created, the
// opened file when nothing was written to it, the format context. Failures
// inside stream creation are raised (FFmpegException, LastError set) after
// the same cleanup.
int OpenOutputFile(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& options_text,
                   bool join, const std::string& file_name, const std::string& presets_text);

// A metadata specifier: "g" (or empty), "s[:stream specifier]", "c:index",
// "p:index".
struct MetaSpecifier {
    char type = 'g';
    std::string stream_spec;
    int index = 0;
};

// True when -vn, -an, -sn or -dn of the context disables streams of the type.
bool TypeDisabled(const OptionsContext& ctx, AVMediaType type);

// 0, or -1 with LastError ("Invalid metadata specifier %s.", "Invalid
// metadata type %s.") logged at fatal level.
int ParseMetaType(TCustomFFmpegOpt& task, const std::string& spec, MetaSpecifier& result);

// Copies metadata from the input context `ic` (null for "-map_metadata -1",
// which only switches the automatic copies off) to the output context. 0 or
// negative with LastError.
int CopyMetadata(TCustomFFmpegOpt& task, const std::string& out_spec, const std::string& in_spec,
                 OptionsContext& ctx, AVFormatContext* oc, AVFormatContext* ic);

// Appends the input's chapters that fall into the output's time window,
// shifted by the output's start; 0 or -12.
int CopyChapters(const InputFile& input, OutputFile& output, AVFormatContext* oc,
                 bool copy_metadata);

// The input streams the automatic selection picks among the input streams
// [first, last): the largest video, the audio with most channels and the
// first subtitle; -1 where none qualifies or the type is switched off.
struct AutomaticStreams {
    int video = -1;
    int audio = -1;
    int subtitle = -1;
};
AutomaticStreams ChooseAutomaticStreams(const TCustomFFmpegOpt& task, const OptionsContext& ctx,
                                        const AVFormatContext* oc, int first, int last,
                                        bool subtitle_codec_given);

// Closes the output I/O of `oc` when this task opened it, deletes the file
// when it is empty, and frees the context.
void DiscardOutputContext(OutputFormatContextPtr oc, const std::string& file_name,
                          bool file_opened);

// Removes output streams from `first` on, and every filtergraph link to them.
void RemoveOutputStreams(TCustomFFmpegOpt& task, std::size_t first);

}  // namespace tavrin

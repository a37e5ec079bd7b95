// The decoder component's base: opens one media input (or adopts a context
// opened elsewhere), reports its container and streams as records and as an
// information text, and keeps the context for the frame-level operations of
// TVEVarazez.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/common/ff_handles.h"
#include "media/options/ff_options.h"
#include "media/probe/stream_info.h"
#include "media/runtime/base_component.h"
#include "media/runtime/ff_headers.h"
#include "media/runtime/loader.h"
#include "media/runtime/logger.h"

namespace tavrin {

class TCustomDecoder;

// Raised after the input is open and before its streams are probed; the
// handler may adjust the context (probe sizes, discard flags and so on).
using TBeforeFindStreamInfoEvent =
    std::function<void(TCustomDecoder* sender, AVFormatContext* format_context)>;

// LoadLibraries, LibrariesLoaded, CheckLibraries and LastErrorText come from
// LibraryUser with the set DecoderLibs.
class TCustomDecoder : public TFFBaseComponent, public LibraryUser {
public:
    TCustomDecoder();
    ~TCustomDecoder() override;

    // Opens and probes `file_name`, forcing the input format when
    // `format_name` is given. False with LastErrorText on failure, and no file
    // is open then. Raises FFmpegException when the libraries are not loaded.
    bool LoadFile(const std::string& file_name, const std::string& format_name = std::string());
    // Closes an input opened here; an attached context is only forgotten.
    virtual void CloseFile();

    AVFormatContext* FormatContext() const { return format_context_; }
    // Attaches a context opened elsewhere; the decoder never closes it.
    virtual void SetFormatContext(AVFormatContext* context);
    bool OwnsContext() const { return owned_context_ != nullptr; }

    void GetFileStreamInfo(TFileStreamInfo& info);
    // Index -1 stands for the first stream of the type.
    void GetAudioStreamInfo(int stream_index, TAudioStreamInfo& info);
    void GetVideoStreamInfo(int stream_index, TVideoStreamInfo& info);
    void GetVideoStreamInfo(TVideoStreamInfo& info) { GetVideoStreamInfo(-1, info); }
    bool IsAudioStream(int stream_index);
    bool IsVideoStream(int stream_index);

    // The multi-line description of the open file (lines end with "\n");
    // empty with "file not loaded." when none is open.
    std::string FileInfoText();

    // The forced format name of the last successful open, else empty.
    const std::string& FormatName() const { return format_name_; }

    int64_t FileSize() const { return file_size_; }
    int32_t StreamCount() const { return stream_count_; }
    int32_t ProgramCount() const { return program_count_; }
    int32_t AudioStreamCount() const { return audio_stream_count_; }
    int32_t VideoStreamCount() const { return video_stream_count_; }
    int32_t SubtitleStreamCount() const { return subtitle_stream_count_; }
    int32_t FirstAudioStreamIndex() const { return first_audio_stream_index_; }
    int32_t FirstVideoStreamIndex() const { return first_video_stream_index_; }
    int32_t FirstSubtitleStreamIndex() const { return first_subtitle_stream_index_; }

    // "name major.minor.micro" of each bound library of the decoder's set,
    // e.g. "avformat 59.27.100"; a library that is not loaded shows "not loaded".
    std::vector<std::string> LibraryVersions() const;

    // Format and codec options for the next LoadFile (e.g. OptDefault
    // ("probesize", "32")); they are reset after each open.
    TFFOptions& Options() { return options_; }

    bool TriggerEventInMainThread = true;
    TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;

protected:
    // Logs with this decoder as sender and keeps the text in LastErrorText.
    void LogError(TLogLevel level, const std::string& text);
    // Logs "file not loaded." and returns true when no file is open.
    bool NotLoaded();
    // Resets the option dictionaries once the libraries are there.
    void OnLibrariesLoaded() override;

    // Starts a blocking phase: the interrupt callback measures Timeout from now.
    void MarkActivity();
    // Ends blocking phases: the interrupt callback lets everything go on.
    void MarkIdle();
    // Whether the interrupt callback gave up on a blocking call because of
    // Timeout since the last MarkActivity.
    bool TimedOut() const { return timed_out_; }

    // Called at the end of a successful LoadFile with the options still
    // holding what the caller set (TVEVarazez takes the scaler flags).
    virtual void ApplyLoadOptions(TFFOptions& options);

    // A codec context of its own for the stream, filled from its parameters
    // (never opened). Null for a bad index.
    AVCodecContext* StreamCodecContext(int stream_index);

private:
    static int InterruptCallback(void* opaque);
    void RefreshStreamCounts();
    // The input's size as avio reports it, else the size on disk, else 0.
    int64_t InputSize() const;
    void RaiseBeforeFindStreamInfo();
    bool CheckStreamIndex(int stream_index);
    // The stream a record getter describes: `stream_index`, or for -1 the
    // first stream of the type. Null, with the error logged, when there is no
    // such stream or it is of another type.
    AVStream* StreamOfType(int& stream_index, AVMediaType type);

    // The information text's pieces.
    void AppendStreamLine(std::string& text, int stream_index);

    // The context in use: the one opened here (owned_context_) or one
    // attached by SetFormatContext, which the decoder never closes.
    AVFormatContext* format_context_ = nullptr;
    InputFormatContextPtr owned_context_;
    TFFOptions options_;
    std::string format_name_;
    int64_t file_size_ = -1;
    int32_t stream_count_ = -1;
    int32_t program_count_ = -1;
    int32_t audio_stream_count_ = -1;
    int32_t video_stream_count_ = -1;
    int32_t subtitle_stream_count_ = -1;
    int32_t first_audio_stream_index_ = -1;
    int32_t first_video_stream_index_ = -1;
    int32_t first_subtitle_stream_index_ = -1;
    // av_gettime() at the start of the current blocking phase; INT64_MAX when
    // idle. Read by the interrupt callback on the blocking thread.
    std::atomic<int64_t> activity_timestamp_{INT64_MAX};
    // Set by the interrupt callback when it aborted because of Timeout.
    std::atomic<bool> timed_out_{false};
    std::vector<CodecContextPtr> codec_contexts_;
};

}  // namespace tavrin

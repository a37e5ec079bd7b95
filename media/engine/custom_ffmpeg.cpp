#include "media/engine/custom_ffmpeg.h"

#include <exception>

#include "media/common/error_text.h"
#include "media/engine/engine_locks.h"
#include "media/engine/hooks.h"
#include "media/engine/pipeline.h"
#include "media/engine/transcode_setup.h"
#include "media/options/join.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/loader.h"
#include "media/runtime/logger.h"

namespace tavrin {
namespace {

constexpr const char* kCheckLogHint =
    "Please check error log message(reported by REVaduzi) to find out more detail information.";

}  // namespace

TCustomFFmpeg::TCustomFFmpeg() : hooks_(std::make_unique<TTaskHooks>()) {
    FFLoader().CheckLibs(EncoderLibs);
    AbortRequested = false;
    ReadStartTime = INT64_MAX;
    WriteStartTime = INT64_MAX;
    InputDuration = -1;
    TotalDuration = -1;
}

TCustomFFmpeg::~TCustomFFmpeg() {
    // A running worker is stopped and waited for before anything is freed.
    EndTaskThreads();
    AbortRequested = true;
    try {
        Cleanup();
    } catch (const std::exception& error) {
        Log(this, llQuiet, error.what());
    }
}

void TCustomFFmpeg::RecordError(const std::string& message) {
    Log(this, llQuiet, message);
    has_error_ = true;
    error_message_ = message;
}

void TCustomFFmpeg::Run() {
    finished_ = false;
    try {
        run_transcoding();
    } catch (const std::exception& error) {
        RecordError(error.what());
    }
    // Each closing step runs even when an earlier one failed.
    const auto guarded = [this](auto&& step) {
        try {
            step();
        } catch (const std::exception& error) {
            RecordError(error.what());
        }
    };
    guarded([this] { CloseOpenedEncoders(); });
    guarded([this] { CloseOpenedDecoders(); });
    guarded([this] { Cleanup(); });
    guarded([this] { DeliverTermination(); });
    // Settles a pending "Last message repeated" line of this task; the
    // library log hook adds no text for it.
    const char* no_text = nullptr;
    ff.av_log(nullptr, AV_LOG_QUIET, "%s", no_text);
}

void TCustomFFmpeg::CloseOpenedEncoders() {
    std::list<OutputStream*> streams;
    {
        const std::lock_guard<std::mutex> guard(CodecListLock());
        streams.swap(OpenedEncoders);
    }
    for (OutputStream* ost : streams) {
        if (ost->needs_encoding != 0) {
            if (AVCodecContext* codec = ost->codec_ctx.get()) {
                ff.av_freep(&codec->stats_in);
                ff.avcodec_close(codec);
            }
            ost->encoder_closed = 1;
        }
    }
}

void TCustomFFmpeg::CloseOpenedDecoders() {
    std::list<InputStream*> streams;
    {
        const std::lock_guard<std::mutex> guard(CodecListLock());
        streams.swap(OpenedDecoders);
    }
    for (InputStream* ist : streams) {
        if (ist->decode_users != 0 && ist->codec_ctx) {
            ff.avcodec_close(ist->codec_ctx.get());
        }
    }
}

void TCustomFFmpeg::run_transcoding() {
    LastError.clear();
    try {
        const int result = transcode_init(*this);
        if (result < 0) {
            if (LastError.empty()) {
                LastError = ErrorText("transcode_init() error", result) + ". " + kCheckLogHint;
            }
            throw FFmpegException(LastError);
        }
    } catch (...) {
        release_stream_resources();
        throw;
    }
    if (TotalDuration < 0) {
        TotalDuration = InputDuration;
    }

    JoinIndex = 0;
    set_active_streams(*this);
    const std::int64_t timer_start = ProgressClockMicroseconds();
    while (!AbortRequested) {
        // Paused tasks are held here, between two steps, where no lock is held.
        WaitWhilePaused();
        if (AbortRequested) {
            break;
        }
        const std::int64_t cur_time = ProgressClockMicroseconds();
        if (!output_still_needed()) {
            Log(this, llVerbose, "No more output streams to write to, finishing.");
            break;
        }
        const int result = run_step();
        if (result >= 0) {
            report_progress(JoinIndex, false, cur_time, timer_start);
        }
        if (result >= 0 || result == AVERROR_EOF || result == AVERROR(EAGAIN)) {
            if (result == AVERROR_EOF) {
                break;
            }
            continue;
        }
        Log(this, llError, ErrorText("Error while filtering", result));
        break;
    }

    // Drain the decoders of the inputs that did not reach their end.
    for (const auto& ist : input_streams) {
        const InputFile& file = *input_files[static_cast<std::size_t>(ist->file_index)];
        if (file.at_end == 0 && ist->decode_users != 0 && ist->eof_flushed == 0) {
            decode_packet(*this, *ist, nullptr);
        }
    }
    drain_encoders(*this);

    for (std::size_t i = 0; i < output_files.size(); ++i) {
        if (Joined && i > 0) {
            break;
        }
        if (AVFormatContext* oc = output_files[i]->ctx.get()) {
            finish_output_file(*this, oc);
        }
    }
    report_progress(-1, true, ProgressClockMicroseconds(), timer_start);
    for (std::size_t i = 0; i < output_files.size(); ++i) {
        if (Joined && i > 0) {
            break;
        }
        if (AVFormatContext* oc = output_files[i]->ctx.get()) {
            close_output_file(*this, oc);
        }
    }

    const std::size_t owners = OwningStreamCount(*this);
    for (std::size_t i = 0; i < owners; ++i) {
        OutputStream& ost = *output_streams[i];
        if (ost.needs_encoding != 0 && ost.encoder_closed == 0) {
            close_output_encoder(*this, ost);
        }
    }
    for (const auto& ist : input_streams) {
        if (ist->decode_users != 0 && ist->decoder_closed == 0) {
            ist->decoder_closed = 1;
            if (ist->codec_ctx) {
                ff.avcodec_close(ist->codec_ctx.get());
            }
            RemoveOpenedDecoder(*this, *ist);
        }
    }
    finished_ = !AbortRequested;
    release_stream_resources();
}

void TCustomFFmpeg::release_stream_resources() {
    CloseOpenedEncoders();
    CloseOpenedDecoders();
    const std::size_t owners = OwningStreamCount(*this);
    for (std::size_t i = 0; i < owners; ++i) {
        OutputStream& ost = *output_streams[i];
        AVCodecContext* codec = ost.codec_ctx.get();
        if (codec != nullptr) {
            if (ost.stream_copy != 0) {
                ff.av_freep(&codec->extradata);
                codec->extradata_size = 0;
            }
            ff.av_freep(&codec->subtitle_header);
            codec->subtitle_header_size = 0;
        }
        ost.pass_log_file.reset();
        ost.forced_key_times.clear();
        ost.forced_key_count = 0;
        ost.encoder_options.Reset();
        ost.audio_resampler_options.Reset();
        ost.resample_options.Reset();
    }
}

int TCustomFFmpeg::run_step() {
    OutputStream* ost = pick_output_stream();
    if (ost == nullptr) {
        if (any_stream_waiting()) {
            clear_waiting();
            ff.av_usleep(10000);
            return 0;
        }
        Log(this, llVerbose, "No more inputs to read from, finishing.");
        return AVERROR_EOF;
    }
    InputStream* ist = nullptr;
    if (ost->filter != nullptr && ost->filter->graph != nullptr) {
        const int pulled = pull_from_filtergraph(*ost->filter->graph, ist);
        if (pulled < 0) {
            return pulled;
        }
        if (ist == nullptr) {
            return 0;
        }
    } else {
        ist = get_source_stream(*this, *ost);
        if (ist == nullptr) {
            RaiseError("Output stream without a source to read from");
        }
    }
    InputFile& file = *input_files[static_cast<std::size_t>(ist->file_index)];
    const int result = read_input_packet(*this, ist->file_index);
    if (result == AVERROR(EAGAIN)) {
        if (file.try_again != 0) {
            ost->unavailable = 1;
        }
        return 0;
    }
    if (result < 0) {
        return result == AVERROR_EOF ? 0 : result;
    }
    return drain_filters(*this);
}

OutputStream* TCustomFFmpeg::pick_output_stream() {
    OutputStream* chosen = nullptr;
    std::int64_t smallest = INT64_MAX;
    for (std::size_t i = 0; i < output_streams.size(); ++i) {
        if (!IsActiveStream(*this, i)) {
            continue;
        }
        OutputStream& ost = *output_streams[i];
        if (ost.unavailable != 0 || ost.finished != 0) {
            continue;
        }
        const std::int64_t dts = MuxerCurrentDtsMicroseconds(*this, ost);
        if (chosen == nullptr || dts < smallest) {
            chosen = &ost;
            smallest = dts;
        }
    }
    return chosen;
}

bool TCustomFFmpeg::output_still_needed() {
    for (std::size_t i = 0; i < output_streams.size(); ++i) {
        if (!IsActiveStream(*this, i)) {
            continue;
        }
        OutputStream& ost = *output_streams[i];
        if (ost.finished != 0) {
            continue;
        }
        const OutputFile& file = *output_files[static_cast<std::size_t>(ost.file_index)];
        const AVFormatContext* oc =
            OutputContextOf(*this, static_cast<std::size_t>(ost.file_index));
        if (oc != nullptr && oc->pb != nullptr &&
            ff.avio_seek(oc->pb, 0, SEEK_CUR) >= file.size_limit) {
            continue;
        }
        if (ost.frame_number >= ost.max_frames) {
            // Every stream of this output file ends with it.
            for (std::size_t k = 0; k < output_streams.size(); ++k) {
                OutputStream& other = *output_streams[k];
                if (other.file_index == ost.file_index) {
                    finish_output_stream(*this, other);
                }
            }
            continue;
        }
        return true;
    }
    return false;
}

int TCustomFFmpeg::pull_from_filtergraph(FilterGraph& graph, InputStream*& ist) {
    ist = nullptr;
    const int result = ff.avfilter_graph_request_oldest(graph.graph.get());
    if (result >= 0) {
        return drain_filters(*this);
    }
    if (result == AVERROR_EOF) {
        const int drained = drain_filters(*this);
        for (const auto& output : graph.outputs) {
            if (output->output_stream != nullptr) {
                finish_output_stream(*this, *output->output_stream);
            }
        }
        return drained;
    }
    if (result != AVERROR(EAGAIN)) {
        return result;
    }
    unsigned most_failed = 0;
    bool inputs_ended = true;
    for (const auto& input : graph.inputs) {
        InputStream* candidate = input->input_stream;
        if (candidate == nullptr) {
            continue;
        }
        const InputFile& file = *input_files[static_cast<std::size_t>(candidate->file_index)];
        if (file.at_end == 0) {
            inputs_ended = false;
        }
        if (file.try_again != 0 || file.at_end != 0) {
            continue;
        }
        const unsigned failed = ff.av_buffersrc_get_nb_failed_requests(input->filter);
        if (failed > most_failed) {
            most_failed = failed;
            ist = candidate;
        }
    }
    if (ist == nullptr && inputs_ended && !graph.inputs.empty()) {
        // Every input has been read to its end, yet the graph still waits
        // (a decoder that failed on a damaged end never told it): it gets
        // the end now, or the loop would wait for it for ever.
        for (const auto& input : graph.inputs) {
            if (input->filter != nullptr) {
                [[maybe_unused]] const int ended =
                    ff.av_buffersrc_add_frame_flags(input->filter, nullptr, AV_BUFFERSRC_FLAG_PUSH);
            }
        }
        return 0;
    }
    if (ist == nullptr) {
        for (const auto& output : graph.outputs) {
            if (output->output_stream != nullptr) {
                output->output_stream->unavailable = 1;
            }
        }
    }
    return 0;
}

bool TCustomFFmpeg::any_stream_waiting() const {
    for (std::size_t i = 0; i < output_streams.size(); ++i) {
        if (IsActiveStream(*this, i) && output_streams[i]->unavailable != 0) {
            return true;
        }
    }
    return false;
}

void TCustomFFmpeg::clear_waiting() {
    for (const auto& file : input_files) {
        file->try_again = 0;
    }
    for (std::size_t i = 0; i < output_streams.size(); ++i) {
        if (IsActiveStream(*this, i)) {
            output_streams[i]->unavailable = 0;
        }
    }
}

void TCustomFFmpeg::Cleanup() {
    if (!FFLoader().LibrarySetLoaded(EncoderLibs)) {
        throw FFmpegException("The media libraries were unloaded before the task was freed.");
    }
    free_context();
    ReleaseHooks();
}

}  // namespace tavrin

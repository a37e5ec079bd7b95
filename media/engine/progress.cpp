// The progress report of a running task: which streams count, the status
// line, the -progress text, the callback, and the final byte statistics.
#include "media/engine/progress.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "media/engine/custom_ffmpeg.h"
#include "media/engine/pipeline.h"
#include "media/options/join.h"

namespace tavrin {
namespace {

constexpr AVRational kMicroseconds{1, 1000000};
constexpr std::size_t kStatusLineSize = 1024;
constexpr int kQpHistogramShown = 32;

// The status line: a fixed buffer, each piece cut to the room left.
class StatusLine {
public:
    void Append(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (length_ + 1 >= buffer_.size()) {
            return;
        }
        va_list args;
        va_start(args, format);
        const int written =
            std::vsnprintf(buffer_.data() + length_, buffer_.size() - length_, format, args);
        va_end(args);
        if (written > 0) {
            length_ = std::min(length_ + static_cast<std::size_t>(written), buffer_.size() - 1);
        }
    }
    std::string Text() const { return std::string(buffer_.data(), length_); }

private:
    std::array<char, kStatusLineSize> buffer_{};
    std::size_t length_ = 0;
};

void AppendFormat(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendFormat(std::string& text, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list counting;
    va_copy(counting, args);
    const int needed = std::vsnprintf(nullptr, 0, format, counting);
    va_end(counting);
    if (needed > 0) {
        const std::size_t at = text.size();
        text.resize(at + static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(text.data() + at, static_cast<std::size_t>(needed) + 1, format, args);
        text.resize(at + static_cast<std::size_t>(needed));
    }
    va_end(args);
}

std::uint64_t ReadLittleEndian(const std::uint8_t* data, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = (value << 8) | data[i];
    }
    return value;
}

double Psnr(double error) {
    return -10.0 * std::log10(error);
}

// Bytes written to the first output file so far; -1 when unknown.
std::int64_t CurrentOutputSize(const TCustomFFmpeg& task) {
    if (task.output_files.empty() || !task.output_files.front()->ctx) {
        return -1;
    }
    AVIOContext* pb = task.output_files.front()->ctx->pb;
    if (pb == nullptr) {
        return -1;
    }
    std::int64_t size = ff.avio_size(pb);
    if (size <= 0) {
        size = ff.avio_seek(pb, 0, SEEK_CUR);
    }
    return size;
}

// The output streams whose progress counts: in a joined task the group of
// the input being read (the last input for the final report).
std::pair<std::size_t, std::size_t> CountedStreams(const TCustomFFmpeg& task, int file_index) {
    std::int64_t group = file_index;
    if (group < 0) {
        group = static_cast<std::int64_t>(task.input_files.size()) - 1;
    }
    return JoinGroupStreams(task, static_cast<std::size_t>(std::max<std::int64_t>(group, 0)));
}

// What the streams counted by a report say, gathered before anything is
// formatted: the first video stream that wrote a picture gives the frame
// count, rate and PSNR; later video streams only their quantiser.
struct StreamQuality {
    bool main = false;  // the first counted video stream
    int file_index = 0;
    int index = 0;
    float q = -1;
    bool has_psnr = false;
    std::array<double, 3> psnr{};
    double psnr_all = 0;
};

struct StreamsSnapshot {
    std::vector<StreamQuality> qualities;  // in stream order
    std::int32_t frame = -1;
    double fps = -1;
    float q = -1;  // of the last stream looked at
    std::int64_t reached = kNoTimestamp;
};

// Gathers the snapshot; counts the main stream's quantiser in the
// histogram when it is asked for.
StreamsSnapshot GatherStreams(TCustomFFmpeg& task, int file_index, bool is_last,
                              std::int64_t cur_time, std::int64_t timer_start) {
    StreamsSnapshot snapshot;
    bool video_counted = false;
    const auto [first, end] = CountedStreams(task, file_index);
    for (std::size_t i = first; i < end; ++i) {
        OutputStream& ost = *task.output_streams[i];
        const AVCodecContext* enc = EncoderContext(task, ost);
        const bool video =
            ost.stream != nullptr && ost.stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        const float q = CodedPictureQuantiser(ost);
        snapshot.q = q;
        if (video_counted && video) {
            snapshot.qualities.push_back({false, ost.file_index, ost.index, q, false, {}, 0});
        }
        if (!video_counted && video && ost.join_done == 0) {
            // A stream that has written nothing yet does not count at all.
            if (ost.frame_number < 1) {
                continue;
            }
            video_counted = true;
            snapshot.frame = ost.frame_number;
            const double seconds = static_cast<double>(cur_time - timer_start) / 1000000.0;
            snapshot.fps = seconds > 1 ? snapshot.frame / seconds : 0;
            StreamQuality quality{true, ost.file_index, ost.index, q, false, {}, 0};
            if (task.qp_histogram != 0) {
                const long j = std::lrint(q);
                if (j >= 0 && j < static_cast<long>(task.QpHistogram.size())) {
                    ++task.QpHistogram[static_cast<std::size_t>(j)];
                }
            }
            if (enc != nullptr && (enc->flags & AV_CODEC_FLAG_PSNR) != 0 &&
                (ost.coded_picture.present || is_last)) {
                double error_sum = 0;
                double scale_sum = 0;
                for (std::size_t j = 0; j < 3; ++j) {
                    const double error = static_cast<double>(
                        is_last ? ost.coded_picture.error_sum[j] : ost.coded_picture.error[j]);
                    double scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
                    if (is_last) {
                        scale *= snapshot.frame;
                    }
                    if (j > 0) {
                        scale /= 4;
                    }
                    error_sum += error;
                    scale_sum += scale;
                    quality.psnr[j] = Psnr(error / scale);
                }
                quality.has_psnr = true;
                quality.psnr_all = Psnr(error_sum / scale_sum);
            }
            snapshot.qualities.push_back(quality);
        }
        // The time the muxer reached on this stream (shared by every joined
        // group, so it never goes back at a switch).
        if (!is_last && ost.finished != 0) {
            continue;
        }
        const OutputStream& owner = StreamOwner(task, ost);
        if (owner.mux_end_pts == kNoTimestamp || owner.stream == nullptr) {
            continue;
        }
        snapshot.reached =
            std::max(snapshot.reached,
                     ff.av_rescale_q(owner.mux_end_pts, owner.stream->time_base, kMicroseconds));
    }
    return snapshot;
}

// The streams' part of the status line and of the -progress text.
void FormatStreams(const StreamsSnapshot& snapshot, bool is_last, bool show_histogram,
                   const std::array<std::int32_t, 52>& histogram, StatusLine& line,
                   std::string& text) {
    static constexpr char kPlanes[] = {'Y', 'U', 'V'};
    static constexpr char kLowerPlanes[] = {'y', 'u', 'v'};
    for (const StreamQuality& quality : snapshot.qualities) {
        const double q = static_cast<double>(quality.q);
        if (!quality.main) {
            line.Append("q=%2.1f ", q);
            AppendFormat(text, "stream_%d_%d_q=%.1f\n", quality.file_index, quality.index, q);
            continue;
        }
        const double fps = snapshot.fps;
        line.Append("frame=%5d fps=%3.*f q=%3.1f ", snapshot.frame, fps < 9.95 ? 1 : 0, fps, q);
        AppendFormat(text, "frame=%d\n", snapshot.frame);
        AppendFormat(text, "fps=%.1f\n", fps);
        AppendFormat(text, "stream_%d_%d_q=%.1f\n", quality.file_index, quality.index, q);
        if (is_last) {
            line.Append("L");
        }
        if (show_histogram) {
            for (int k = 0; k < kQpHistogramShown; ++k) {
                line.Append("%X", static_cast<int>(std::lrint(
                                      std::log2(histogram[static_cast<std::size_t>(k)] + 1))));
            }
        }
        if (quality.has_psnr) {
            line.Append("PSNR=");
            for (std::size_t j = 0; j < 3; ++j) {
                line.Append("%c:%2.2f ", kPlanes[j], quality.psnr[j]);
                AppendFormat(text, "stream_%d_%d_psnr_%c=%2.2f\n", quality.file_index,
                             quality.index, kLowerPlanes[j], quality.psnr[j]);
            }
            line.Append("*:%2.2f ", quality.psnr_all);
            AppendFormat(text, "stream_%d_%d_psnr_all=%2.2f\n", quality.file_index, quality.index,
                         quality.psnr_all);
        }
    }
}

}  // namespace

void note_coded_picture(OutputStream& ost, const AVPacket& packet) {
    std::size_t size = 0;
    const std::uint8_t* data =
        ff.av_packet_get_side_data(&packet, AV_PKT_DATA_QUALITY_STATS, &size);
    if (data == nullptr || size < 4) {
        return;
    }
    // quality (32 bits), picture type, error count, two reserved bytes, then
    // one 64-bit error per plane, all little-endian.
    OutputStream::CodedPicture& picture = ost.coded_picture;
    picture.present = true;
    picture.quality = static_cast<std::int32_t>(ReadLittleEndian(data, 4));
    picture.picture_type = size > 4 ? data[4] : static_cast<int>(AV_PICTURE_TYPE_NONE);
    const std::size_t errors = size > 5 ? data[5] : 0;
    picture.error.fill(0);
    for (std::size_t i = 0; i < errors && i < picture.error.size() && 8 + 8 * (i + 1) <= size;
         ++i) {
        picture.error[i] = ReadLittleEndian(data + 8 + 8 * i, 8);
        picture.error_sum[i] += picture.error[i];
    }
}

float CodedPictureQuantiser(const OutputStream& ost) {
    if (ost.stream_copy != 0 || !ost.coded_picture.present) {
        return -1;
    }
    return static_cast<float>(ost.coded_picture.quality) / kQualityPerQuantiser;
}

std::string FinalStatisticsText(std::int64_t video_size, std::int64_t audio_size,
                                std::int64_t subtitle_size, std::int64_t extra_size,
                                std::int64_t total_size) {
    const std::int64_t raw = video_size + audio_size + subtitle_size + extra_size;
    total_size = std::max<std::int64_t>(total_size, 0);
    std::string text;
    AppendFormat(text, "video:%1.0fkB audio:%1.0fkB subtitle:%1.0f global headers:%1.0fkB ",
                 static_cast<double>(video_size) / 1024.0, static_cast<double>(audio_size) / 1024.0,
                 static_cast<double>(subtitle_size) / 1024.0,
                 static_cast<double>(extra_size) / 1024.0);
    if (raw != 0) {
        AppendFormat(text, "muxing overhead %f%%",
                     static_cast<double>(total_size - raw) * 100.0 / static_cast<double>(raw));
    } else {
        // Nothing to relate the container's bytes to.
        text += "muxing overhead unknown";
    }
    return text;
}

void TCustomFFmpeg::report_progress(int file_index, bool is_last, std::int64_t cur_time,
                                    std::int64_t timer_start) {
    if (show_stats == 0 && !is_last && !progress_output && !ProgressCallback) {
        return;
    }
    if (!is_last) {
        // The first call only starts the clock.
        if (LastReportTime == -1) {
            LastReportTime = cur_time;
            return;
        }
        if (cur_time - LastReportTime < ProgressInterval) {
            return;
        }
        LastReportTime = cur_time;
    }

    const StreamsSnapshot streams =
        GatherStreams(*this, file_index, is_last, cur_time, timer_start);
    const std::int32_t frame = streams.frame;
    const double fps = streams.fps;
    const float q = streams.q;
    const std::int64_t reached = streams.reached;
    StatusLine line;
    std::string text;
    FormatStreams(streams, is_last, qp_histogram != 0, QpHistogram, line, text);

    const std::int64_t total_size = CurrentOutputSize(*this);

    // While no stream has a time (none written yet, or all finished before
    // the final report) the time reached stays where it was.
    const std::int64_t current_duration = reached == kNoTimestamp ? LastReportedDuration : reached;
    LastReportedDuration = current_duration;
    const std::int64_t secs = current_duration / 1000000;
    const std::int64_t us = current_duration % 1000000;
    const int hours = static_cast<int>(secs / 3600);
    const int mins = static_cast<int>((secs / 60) % 60);
    const int seconds = static_cast<int>(secs % 60);
    const int ms = static_cast<int>(us * 1000 / 1000000);

    const double bit_rate =
        current_duration == 0 || total_size < 0
            ? -1
            : static_cast<double>(total_size) * 8 / (static_cast<double>(current_duration) / 1000);

    if (total_size < 0) {
        line.Append("size=N/A time=");
    } else {
        line.Append("size=%8.0fkB time=", static_cast<double>(total_size) / 1024.0);
    }
    line.Append("%02d:%02d:%02d.%03d ", hours, mins, seconds, ms);
    if (bit_rate >= 0) {
        line.Append("bitrate=%6.1fkbits/s", bit_rate);
    } else {
        line.Append("bitrate=N/A");
    }
    if (total_size < 0) {
        text += "total_size=N/A\n";
    } else {
        AppendFormat(text, "total_size=%lld\n", static_cast<long long>(total_size));
    }
    AppendFormat(text, "out_time_ms=%lld\n", static_cast<long long>(current_duration));
    AppendFormat(text, "out_time=%02d:%02d:%02d.%06d\n", hours, mins, seconds,
                 static_cast<int>(us));

    if (frames_duplicated != 0 || frames_dropped != 0) {
        line.Append(" dup=%d drop=%d", frames_duplicated, frames_dropped);
        if (dup_drop_changed && ProgressCallback) {
            dup_drop_changed = false;
            Log(this, llInfo, line.Text());
        }
    }
    AppendFormat(text, "dup_frames=%d\n", frames_duplicated);
    AppendFormat(text, "drop_frames=%d\n", frames_dropped);

    if (ProgressCallback) {
        ProgressCallback(*this, is_last ? -1 : file_index, frame,
                         static_cast<std::int32_t>(std::nearbyint(fps)), q,
                         static_cast<float>(bit_rate), std::max<std::int64_t>(total_size, 0),
                         current_duration, TotalDuration);
    }
    if ((show_stats != 0 && !ProgressCallback) || is_last) {
        Log(this, llInfo, line.Text());
    }

    if (progress_output) {
        AppendFormat(text, "progress=%s\n", is_last ? "end" : "continue");
        ff.avio_write(progress_output.get(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
        ff.avio_flush(progress_output.get());
        if (is_last) {
            progress_output.reset();
        }
    }

    if (is_last) {
        Log(this, llInfo,
            FinalStatisticsText(video_size, audio_size, subtitle_size, extra_size, total_size));
        if (video_size + audio_size + subtitle_size + extra_size == 0) {
            Log(this, llWarning,
                "Output file is empty, nothing was encoded (check -ss / -t / -frames parameters "
                "if used)");
        }
    }
}

}  // namespace tavrin

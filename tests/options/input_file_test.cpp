// Opening input files: real files made at test time, the per-stream options
// that reach the streams, seeks and time-stamp offsets, channel layout
// guessing, attachments, bad input, and blocking inputs aborted by the
// task's interrupt checks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "fixtures/wait_until.h"
#include "media/common/error_text.h"
#include "media/common/text_helpers.h"
#include "media/runtime/ffmpeg_exception.h"
#include "options/input_test_support.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

// A path as one token of an options text.
std::string Quoted(const fs::path& path) {
    return "\"" + path.string() + "\"";
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// --- Opening real files ---------------------------------------------------

class InputFileTest : public InputTaskTest {};

TEST_F(InputFileTest, OpensRealFilesWithOneStreamRecordPerStream) {
    struct Case {
        fs::path file;
        std::vector<AVMediaType> types;
        std::vector<std::string> decoders;  // "" = none
    };
    const std::vector<Case> cases = {
        {media().video_audio, {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}, {"mpeg4", "aac"}},
        {media().tone10, {AVMEDIA_TYPE_AUDIO}, {"mp3float"}},
        {media().attached, {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_ATTACHMENT}, {"mpeg4", ""}},
    };
    int expected_first_stream = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.file.filename().string());
        ASSERT_EQ(Open(c.file), static_cast<int>(i)) << task_.LastError;
        // ffprobe, as a second opinion, sees the same number of streams.
        const std::string probed =
            RunFfprobe("-show_entries stream=index -of csv=p=0 " + ShellQuote(c.file.string()));
        const auto probed_count = std::count(probed.begin(), probed.end(), '\n');
        ASSERT_EQ(probed_count, static_cast<long>(c.types.size()));

        const InputFile& file = *task_.input_files[i];
        EXPECT_EQ(file.first_stream, expected_first_stream);
        EXPECT_EQ(file.stream_count, static_cast<int>(c.types.size()));
        EXPECT_EQ(file.ts_offset,
                  -(file.ctx->start_time == AV_NOPTS_VALUE ? 0 : file.ctx->start_time));
        for (std::size_t s = 0; s < c.types.size(); ++s) {
            const InputStream& ist = Stream(static_cast<int>(i), static_cast<int>(s));
            EXPECT_EQ(ist.file_index, static_cast<int>(i));
            EXPECT_EQ(ist.stream, file.ctx->streams[s]);
            EXPECT_EQ(ist.stream->codecpar->codec_type, c.types[s]);
            EXPECT_EQ(ist.discard, 1);
            EXPECT_EQ(ist.stream->discard, AVDISCARD_ALL);
            EXPECT_EQ(ist.decoder ? ist.decoder->name : "", c.decoders[s]);
            ASSERT_NE(ist.codec_ctx, nullptr);
            EXPECT_EQ(ist.codec_ctx->codec_id, ist.stream->codecpar->codec_id);
        }
        expected_first_stream += static_cast<int>(c.types.size());
    }
    EXPECT_EQ(task_.input_streams.size(), 5u);
    // The format dump of every file reaches the log.
    EXPECT_TRUE(log_.Has(llInfo, "Input #2, matroska"));
}

TEST_F(InputFileTest, VideoAndAudioFieldsComeFromTheDecoderContext) {
    ASSERT_EQ(Open(media().video_audio), 0) << task_.LastError;
    const InputStream& video = Stream(0, 0);
    EXPECT_EQ(video.last_width, 160);
    EXPECT_EQ(video.last_height, 120);
    EXPECT_EQ(video.last_pix_fmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(video.top_field_first, -1);
    EXPECT_EQ(video.reinit_filter, -1);
    EXPECT_EQ(video.forced_frame_rate.num, 0);
    const InputStream& audio = Stream(0, 1);
    EXPECT_EQ(audio.last_sample_rate, 44100);
    EXPECT_EQ(audio.last_channels, 1);
    EXPECT_EQ(audio.last_sample_fmt, AV_SAMPLE_FMT_FLTP);
    EXPECT_EQ(audio.guess_layout_max, INT_MAX);
    EXPECT_EQ(audio.ts_scale, 1.0);
}

TEST_F(InputFileTest, PerStreamOptionsReachTheirStreams) {
    ASSERT_EQ(
        Open(media().video_audio,
             "-itsscale:a 2 -tag:v DIVX -tag:a 0x55 -top:v 1 -reinit_filter 0 -r:v 30000/1001"),
        0)
        << task_.LastError;
    const InputStream& video = Stream(0, 0);
    const InputStream& audio = Stream(0, 1);
    EXPECT_EQ(video.ts_scale, 1.0);
    EXPECT_EQ(audio.ts_scale, 2.0);
    EXPECT_EQ(video.codec_ctx->codec_tag, MakeTag('D', 'I', 'V', 'X'));
    EXPECT_EQ(audio.codec_ctx->codec_tag, 0x55u);
    EXPECT_EQ(audio.stream->codecpar->codec_tag, 0x55u);
    EXPECT_EQ(video.top_field_first, 1);
    EXPECT_EQ(video.reinit_filter, 0);
    EXPECT_EQ(audio.reinit_filter, 0);
    EXPECT_EQ(video.forced_frame_rate.num, 30000);
    EXPECT_EQ(video.forced_frame_rate.den, 1001);
    EXPECT_EQ(audio.forced_frame_rate.num, 0);
}

TEST_F(InputFileTest, InputRateTwentyFiveIsForcedOnVideoStreamsOnly) {
    ASSERT_EQ(Open(media().video_audio, "-r 25"), 0) << task_.LastError;
    EXPECT_EQ(Stream(0, 0).forced_frame_rate.num, 25);
    EXPECT_EQ(Stream(0, 0).forced_frame_rate.den, 1);
    EXPECT_EQ(Stream(0, 1).forced_frame_rate.num, 0);

    EXPECT_THROW(Open(media().video_audio, "-r fast"), FFmpegException);
    EXPECT_EQ(task_.LastError, "Error parsing framerate fast.");
    EXPECT_EQ(task_.input_files.size(), 1u);
    EXPECT_EQ(task_.input_streams.size(), 2u);
}

TEST_F(InputFileTest, RawInputTakesRateSizeAndFormatAsDemuxerOptions) {
    // 5 frames of 16x16 gray: with a forced format whose private options
    // know "framerate", -r goes to the demuxer as well.
    const fs::path raw = media().dir / "gray16.raw";
    InputMedia::WriteFile(raw, std::string(16 * 16 * 5, '\x80'));
    ASSERT_EQ(Open(raw, "-f rawvideo -pix_fmt gray -s 16x16 -r 10"), 0) << task_.LastError;
    const AVStream* st = Stream(0, 0).stream;
    EXPECT_EQ(st->codecpar->width, 16);
    EXPECT_EQ(st->codecpar->height, 16);
    EXPECT_EQ(st->codecpar->format, AV_PIX_FMT_GRAY8);
    EXPECT_EQ(st->r_frame_rate.num, 10);
    EXPECT_EQ(st->r_frame_rate.den, 1);
    EXPECT_EQ(Stream(0, 0).forced_frame_rate.num, 10);
}

// --- Forced formats and decoders --------------------------------------------

TEST_F(InputFileTest, ForcedDecodersApplyToTheirStreamType) {
    ASSERT_EQ(Open(media().h264, "-c:v h264"), 0) << task_.LastError;
    EXPECT_EQ(task_.input_files[0]->ctx->video_codec_id, AV_CODEC_ID_H264);
    EXPECT_STREQ(Stream(0, 0).decoder->name, "h264");

    // The fixed-point mp3 decoder instead of the registered float one.
    ASSERT_EQ(Open(media().tone10, "-c:a mp3"), 1) << task_.LastError;
    EXPECT_STREQ(Stream(1, 0).decoder->name, "mp3");
    EXPECT_EQ(task_.input_files[1]->ctx->audio_codec_id, AV_CODEC_ID_MP3);
    EXPECT_EQ(task_.input_files[1]->ctx->video_codec_id, AV_CODEC_ID_NONE);

    // A codec descriptor's name finds the decoder registered for it, logged
    // as a match.
    ASSERT_EQ(Open(media().video_audio, "-c:s dvd_subtitle"), 2) << task_.LastError;
    EXPECT_EQ(task_.input_files[2]->ctx->subtitle_codec_id, AV_CODEC_ID_DVD_SUBTITLE);
    EXPECT_TRUE(log_.Has(llVerbose, "Matched decoder \"dvdsub\" for codec \"dvd_subtitle\"."));
    EXPECT_STREQ(Stream(2, 0).decoder->name, "mpeg4");
}

TEST_F(InputFileTest, BadForcedDecodersAndFormatsFailTheFile) {
    struct Case {
        std::string options;
        std::string error;
        bool raised;
    };
    const std::vector<Case> cases = {
        {"-c:a nosuchcodec", "Unknown decoder \"nosuchcodec\"", true},
        {"-c:v aac", "Invalid decoder type \"aac\"", true},
        {"-c copy", "Unknown decoder \"copy\"", true},
        {"-f nosuchformat", "Unknown input format: \"nosuchformat\"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        task_.LastError.clear();
        if (c.raised) {
            EXPECT_THROW(Open(media().video_audio, c.options), FFmpegException);
        } else {
            EXPECT_EQ(Open(media().video_audio, c.options), AVERROR(EINVAL));
        }
        EXPECT_EQ(task_.LastError, c.error);
        EXPECT_TRUE(log_.Has(llFatal, c.error));
        EXPECT_TRUE(task_.input_files.empty());
        EXPECT_TRUE(task_.input_streams.empty());
    }
}

// --- Seeks, offsets and durations -----------------------------------------

TEST_F(InputFileTest, StartTimeSeeksAndSetsTheOffset) {
    ASSERT_EQ(Open(media().tone40, "-ss 30"), 0) << task_.LastError;
    const InputFile& file = *task_.input_files[0];
    const std::int64_t own_start =
        file.ctx->start_time == AV_NOPTS_VALUE ? 0 : file.ctx->start_time;
    EXPECT_EQ(file.ts_offset, -30'000'000 - own_start);
    EXPECT_EQ(task_.InputDuration, file.ctx->duration - 30'000'000);

    // The seek happened before the streams were created: the first packet
    // read lies at about 30 s.
    AVStream* st = file.ctx->streams[0];
    st->discard = AVDISCARD_DEFAULT;
    AVPacket* packet = ff.av_packet_alloc();
    ASSERT_GE(ff.av_read_frame(file.ctx.get(), packet), 0);
    const double seconds = static_cast<double>(packet->pts) * av_q2d(st->time_base);
    ff.av_packet_free(&packet);
    EXPECT_NEAR(seconds, 30.0, 0.5);
}

TEST_F(InputFileTest, TimeStampOffsetOptions) {
    struct Case {
        std::string options;
        std::int64_t offset_without_own_start;
        bool copyts_offset;  // ts_offset is input_ts_offset alone
    };
    const std::vector<Case> cases = {
        {"-itsoffset 2", 2'000'000, false},         {"-itsoffset 2 -ss 1", 1'000'000, false},
        {"-itsoffset_microsecond 500", 500, false}, {"-copyts -itsoffset 2 -ss 1", 2'000'000, true},
        {"-TimeStart 1.5", -1'500'000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        TCustomFFmpegOpt task;
        BuildOptionTable(task);
        OptionsContext ctx(task);
        ASSERT_EQ(OpenInputFile(task, ctx, c.options, media().tone10.string(), ""), 0)
            << task.LastError;
        const InputFile& file = *task.input_files[0];
        const std::int64_t own_start =
            file.ctx->start_time == AV_NOPTS_VALUE ? 0 : file.ctx->start_time;
        EXPECT_EQ(file.ts_offset, c.copyts_offset ? c.offset_without_own_start
                                                  : c.offset_without_own_start - own_start);
    }
}

TEST_F(InputFileTest, InputWithoutStreamsStillGetsItsFile) {
    ASSERT_EQ(Open(media().video_audio), 0) << task_.LastError;
    const std::filesystem::path metadata = media().dir / "only-metadata.txt";
    InputMedia::WriteFile(metadata, ";FFMETADATA1\ntitle=No streams here\n");
    ASSERT_EQ(Open(metadata, "-f ffmetadata"), 1) << task_.LastError;
    const InputFile& file = *task_.input_files[1];
    EXPECT_EQ(file.stream_count, 0);
    EXPECT_EQ(file.first_stream, 2);
    EXPECT_EQ(task_.input_streams.size(), 2u);
}

TEST_F(InputFileTest, InputDurationIsTheLongestInput) {
    ASSERT_EQ(task_.InputDuration, -1);
    ASSERT_EQ(Open(media().tone10), 0) << task_.LastError;
    const std::int64_t first = task_.input_files[0]->ctx->duration;
    EXPECT_EQ(task_.InputDuration, first);
    ASSERT_EQ(Open(media().tone40), 1) << task_.LastError;
    const std::int64_t second = task_.input_files[1]->ctx->duration;
    EXPECT_EQ(task_.InputDuration, second);
    EXPECT_NEAR(static_cast<double>(task_.InputDuration), 40'000'000.0, 100'000.0);
    // A shorter third input leaves it alone.
    ASSERT_EQ(Open(media().video_audio), 2) << task_.LastError;
    EXPECT_EQ(task_.InputDuration, second);
    EXPECT_EQ(task_.input_files[1]->first_stream, 1);
    EXPECT_EQ(task_.input_files[2]->first_stream, 2);
}

TEST_F(InputFileTest, InputDurationEndsAtTheInputsCut) {
    // -t and -to on an input limit what is read, so they limit what is expected.
    ASSERT_EQ(Open(media().tone40, "-t 3"), 0) << task_.LastError;
    EXPECT_EQ(task_.InputDuration, 3'000'000);
    ASSERT_EQ(Open(media().tone40, "-ss 2 -to 7"), 1) << task_.LastError;
    EXPECT_EQ(task_.InputDuration, 5'000'000);
}

// --- Channel layouts ------------------------------------------------------

TEST_F(InputFileTest, MonoInputWithoutLayoutGetsTheDefaultOne) {
    ASSERT_EQ(Open(media().mono_wav), 0) << task_.LastError;
    const InputStream& ist = Stream(0, 0);
    EXPECT_EQ(ist.codec_ctx->ch_layout.order, AV_CHANNEL_ORDER_NATIVE);
    EXPECT_EQ(ist.codec_ctx->ch_layout.u.mask, AV_CH_LAYOUT_MONO);
    EXPECT_EQ(ist.stream->codecpar->ch_layout.u.mask, AV_CH_LAYOUT_MONO);
    EXPECT_EQ(ist.last_channel_layout.u.mask, AV_CH_LAYOUT_MONO);
    EXPECT_TRUE(log_.Has(llWarning, "Guessed Channel Layout for  Input Stream #0.0 : mono"));

    log_.Clear();
    ASSERT_EQ(Open(media().mono_wav, "-guess_layout_max 0"), 1) << task_.LastError;
    EXPECT_EQ(Stream(1, 0).codec_ctx->ch_layout.order, AV_CHANNEL_ORDER_UNSPEC);
    EXPECT_EQ(Stream(1, 0).last_channels, 1);
    EXPECT_FALSE(log_.Has(llWarning, "Guessed Channel Layout"));

    // Two channels within the limit of 2: guessed as stereo.
    ASSERT_EQ(Open(media().stereo_wav, "-guess_layout_max 2"), 2) << task_.LastError;
    EXPECT_EQ(Stream(2, 0).codec_ctx->ch_layout.u.mask, AV_CH_LAYOUT_STEREO);
}

// --- Demuxer options nothing used ------------------------------------------

TEST_F(InputFileTest, UnusedDemuxerOptionFailsOnlyAStrictTask) {
    // The mp3 demuxer has no use for a frame rate that the format option
    // system accepted.
    EXPECT_THROW(Open(media().tone10, "-framerate 10"), FFmpegException);
    EXPECT_EQ(task_.LastError, "Option framerate not found.");
    EXPECT_TRUE(task_.input_files.empty());

    task_.StrictOptions = false;
    task_.LastError.clear();
    EXPECT_EQ(Open(media().tone10, "-framerate 10"), 0);
    EXPECT_EQ(task_.LastError, "Option framerate not found.");
    EXPECT_EQ(task_.input_files.size(), 1u);
}

TEST_F(InputFileTest, MisspeltDemuxerOptionFailsOnlyAStrictTask) {
    EXPECT_LT(Open(media().tone10, "-probesize2 5000"), 0);
    EXPECT_EQ(task_.LastError.rfind("Unrecognized option \"probesize2\"\n", 0), 0u)
        << task_.LastError;
    EXPECT_TRUE(task_.input_files.empty());

    task_.StrictOptions = false;
    EXPECT_EQ(Open(media().tone10, "-probesize2 5000"), 0);
    EXPECT_EQ(task_.input_files.size(), 1u);
}

// --- The handler before probing -----------------------------------------

TEST_F(InputFileTest, BeforeFindStreamInfoHandlerSeesTheOpenedContext) {
    int calls = 0;
    task_.OnBeforeFindStreamInfo = [&](TCustomFFmpegOpt& task, AVFormatContext* ic) {
        ++calls;
        EXPECT_EQ(&task, &task_);
        EXPECT_TRUE(task.input_files.empty());
        EXPECT_EQ(ic->nb_streams, 2u);
        EXPECT_NE(ic->flags & AVFMT_FLAG_NONBLOCK, 0);
        EXPECT_EQ(ic->interrupt_callback.opaque, &task_);
    };
    ASSERT_EQ(Open(media().video_audio), 0) << task_.LastError;
    EXPECT_EQ(calls, 1);
}

// --- Attachments --------------------------------------------------------

TEST_F(InputFileTest, DumpsAnAttachmentIntoTheNamedFile) {
    const fs::path out = media().dir / "dumped.ttf";
    fs::remove(out);
    ASSERT_EQ(Open(media().attached, "-dump_attachment:t " + Quoted(out)), 0) << task_.LastError;
    EXPECT_EQ(ReadBytes(out), ReadBytes(media().font));

    // An existing file is kept without -y, and replaced with it.
    InputMedia::WriteFile(out, "keep me");
    ASSERT_EQ(Open(media().attached, "-dump_attachment:t " + Quoted(out)), 1);
    EXPECT_EQ(ReadBytes(out), "keep me");
    EXPECT_EQ(task_.LastError, "File \"" + out.string() + "\" already exists. Ignore.");
    ASSERT_EQ(Open(media().attached, "-y -dump_attachment:t " + Quoted(out)), 2);
    EXPECT_EQ(ReadBytes(out), ReadBytes(media().font));
}

TEST_F(InputFileTest, DumpWithoutANameUsesTheFilenameTag) {
    const fs::path folder = media().dir / "dump-here";
    fs::create_directories(folder);
    const fs::path previous = fs::current_path();
    fs::current_path(folder);
    const int result = Open(media().attached, "-dump_attachment:t \"\"");
    fs::current_path(previous);
    ASSERT_EQ(result, 0) << task_.LastError;
    EXPECT_EQ(ReadBytes(folder / "Font Face.ttf"), ReadBytes(media().font));
}

TEST_F(InputFileTest, AttachmentDumpFailuresAreOnlyLoggedUnlessTheNameIsMissing) {
    // A stream without data, and a folder that does not exist: logged, the
    // file still opens.
    ASSERT_EQ(Open(media().tone10, "-dump_attachment:a " + Quoted(media().dir / "x.bin")), 0);
    EXPECT_TRUE(log_.Has(llWarning, "No extradata to dump in stream #0:0."));
    const fs::path unwritable = media().dir / "no-such-folder" / "font.ttf";
    ASSERT_EQ(Open(media().attached, "-dump_attachment:t " + Quoted(unwritable)), 1);
    EXPECT_TRUE(log_.Has(llError, "Could not open file " + unwritable.string() + " for writing."));
    EXPECT_FALSE(fs::exists(unwritable));

    // No name and no "filename" tag (removed before probing): raised, and
    // nothing of the file is kept.
    task_.OnBeforeFindStreamInfo = [](TCustomFFmpegOpt&, AVFormatContext* ic) {
        ff.av_dict_set(&ic->streams[1]->metadata, "filename", nullptr, 0);
    };
    EXPECT_THROW(Open(media().attached, "-dump_attachment:t \"\""), FFmpegException);
    EXPECT_EQ(task_.LastError, "No filename specified and no \"filename\" tag in stream #2:1.");
    EXPECT_EQ(task_.input_files.size(), 2u);
    EXPECT_EQ(task_.input_streams.size(), 3u);
}

TEST_F(InputFileTest, CheckFileOverwriteDecidesWhatMayBeWritten) {
    const fs::path existing = media().dir / "exists:with colon.bin";
    InputMedia::WriteFile(existing, "x");
    struct Case {
        int y;
        int n;
        std::string name;
        bool allowed;
    };
    const std::vector<Case> cases = {
        {0, 0, (media().dir / "missing.bin").string(), true},
        {0, 0, existing.string(), false},
        {0, 0, "file:" + existing.string(), false},
        {0, 0, "tcp://127.0.0.1:9/x", true},
        {1, 0, existing.string(), true},
        {1, 1, existing.string(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        task_.overwrite_output = c.y;
        task_.never_overwrite = c.n;
        task_.LastError.clear();
        EXPECT_EQ(CheckFileOverwrite(task_, c.name), c.allowed);
        EXPECT_EQ(task_.LastError.empty(), c.allowed);
    }
}

// --- Names and bad input ------------------------------------------------

TEST_F(InputFileTest, NamesWithCharactersOutsideAsciiOpen) {
    const fs::path unicode = media().dir / "klip-\xc3\xbc-\xe6\x97\xa5\xe6\x9c\xac.mp3";
    fs::copy_file(media().tone10, unicode, fs::copy_options::overwrite_existing);
    ASSERT_EQ(Open(unicode), 0) << task_.LastError;
    EXPECT_EQ(task_.input_files[0]->stream_count, 1);
}

TEST_F(InputFileTest, BadInputFailsWithTheLibraryTextAndLeavesNothing) {
    const fs::path dir = media().dir / "bad";
    fs::create_directories(dir);
    const std::string whole = ReadBytes(media().video_audio);
    const fs::path truncated = dir / "truncated.mp4";
    InputMedia::WriteFile(truncated, whole.substr(0, whole.size() / 3));
    std::mt19937 random(7);
    std::string noise(4096, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random());
    }
    const fs::path random_bytes = dir / "random.mp4";
    InputMedia::WriteFile(random_bytes, noise);
    const fs::path empty = dir / "empty.mp3";
    InputMedia::WriteFile(empty, "");
    // Bytes that are no character of the locale's (UTF-8) character set.
    const fs::path undecodable = dir / "name-\xff\xfe.mp3";

    const std::vector<fs::path> files = {truncated,           random_bytes, empty,       dir,
                                         dir / "missing.mp4", undecodable,  media().text};
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        task_.LastError.clear();
        log_.Clear();
        const int result = Open(file);
        EXPECT_LT(result, 0);
        EXPECT_TRUE(task_.LastError == ErrorText(file.string(), result) ||
                    task_.LastError == file.string() + ": could not find codec parameters")
            << task_.LastError;
        EXPECT_TRUE(log_.Has(llFatal, task_.LastError));
        EXPECT_TRUE(task_.input_files.empty());
        EXPECT_TRUE(task_.input_streams.empty());
        EXPECT_EQ(task_.InputDuration, -1);
    }
    EXPECT_EQ(Open(dir / "missing.mp4"), AVERROR(ENOENT));
    EXPECT_EQ(task_.LastError, (dir / "missing.mp4").string() + ": No such file or directory");
}

// --- Blocking inputs ----------------------------------------------------

// A listening socket on 127.0.0.1 that accepts connections and never sends.
// It closes everything by itself after `lifetime`, so that a test whose
// abort failed still ends.
class SilentServer {
public:
    explicit SilentServer(std::chrono::milliseconds lifetime) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener_, 4) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, lifetime] { Serve(lifetime); });
    }
    ~SilentServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (listener_ >= 0) {
            close(listener_);
        }
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    int accepted() const { return accepted_; }

private:
    void Serve(std::chrono::milliseconds lifetime) {
        std::vector<int> clients;
        const auto deadline = std::chrono::steady_clock::now() + lifetime;
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            pollfd waiting{listener_, POLLIN, 0};
            if (poll(&waiting, 1, 20) > 0) {
                const int client = accept(listener_, nullptr, nullptr);
                if (client >= 0) {
                    clients.push_back(client);
                    ++accepted_;
                }
            }
        }
        for (const int client : clients) {
            close(client);
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

TEST_F(InputFileTest, BlockingInputIsAbortedByTheReadTimeOut) {
    SilentServer server(std::chrono::seconds(8));
    task_.ReadTimeout = 700;
    const auto start = std::chrono::steady_clock::now();
    const int result = Open(server.Url());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, AVERROR_EXIT);
    EXPECT_EQ(task_.LastError, server.Url() + ": Immediate exit requested");
    EXPECT_TRUE(log_.Has(llInfo, "connecting/reading timeout"));
    EXPECT_GE(server.accepted(), 1);
    EXPECT_GE(elapsed, std::chrono::milliseconds(700));
    EXPECT_LT(elapsed, std::chrono::seconds(6));
    EXPECT_TRUE(task_.input_files.empty());
}

TEST_F(InputFileTest, BlockingInputIsAbortedFromAnotherThread) {
    SilentServer server(std::chrono::seconds(8));
    task_.ReadTimeout = 0;  // only the abort can end it
    std::atomic<bool> connected{false};
    std::thread stopper([this, &server, &connected] {
        // Once the server has taken the connection, the open waits for bytes
        // that never come: the abort lands on a blocked read.
        connected = WaitUntil([&server] { return server.accepted() >= 1; });
        task_.AbortRequested = true;
    });
    const auto start = std::chrono::steady_clock::now();
    const int result = Open(server.Url());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_TRUE(connected) << "the input never connected to the server";
    EXPECT_EQ(result, AVERROR_EXIT);
    EXPECT_EQ(task_.LastError, server.Url() + ": Immediate exit requested");
    EXPECT_TRUE(log_.Has(llInfo, "reading/writing broken"));
    EXPECT_FALSE(log_.Has(llInfo, "connecting/reading timeout"));
    EXPECT_LT(elapsed, std::chrono::seconds(6));
    EXPECT_TRUE(task_.input_files.empty());
}

}  // namespace
}  // namespace tavrin::testing

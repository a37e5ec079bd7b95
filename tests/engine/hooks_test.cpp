// The hooks of a task on real files: video hooks before the filters and
// before the encoder, their Update and StopHook answers, frame hooks, audio
// hooks, the throttled preview, and "-vhook" modules. Effects are checked by
// decoding the written file with ffmpeg.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"
#include "media/engine/custom_ffmpeg.h"
#include "media/engine/progress.h"
#include "media/engine/vhook_modules.h"
#include "task_builder.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kWidth = 160;
constexpr int kHeight = 120;

struct Rgb {
    int r, g, b;
};

// Every picture of the file's video as rgb24.
std::vector<std::vector<std::uint8_t>> DecodePictures(const fs::path& file, const fs::path& raw) {
    std::vector<std::vector<std::uint8_t>> pictures;
    if (!RunFfmpeg("-i " + ShellQuote(file.string()) + " -map 0:v -f rawvideo -pix_fmt rgb24 " +
                   ShellQuote(raw.string()))) {
        return pictures;
    }
    std::ifstream in(raw, std::ios::binary);
    const std::size_t size = kWidth * kHeight * 3;
    std::vector<std::uint8_t> picture(size);
    while (in.read(reinterpret_cast<char*>(picture.data()), static_cast<std::streamsize>(size))) {
        pictures.push_back(picture);
    }
    return pictures;
}

Rgb PixelAt(const std::vector<std::uint8_t>& picture, int x, int y) {
    const std::size_t at = (static_cast<std::size_t>(y) * kWidth + x) * 3;
    return {picture[at], picture[at + 1], picture[at + 2]};
}

bool IsRed(Rgb c) {
    return c.r > 180 && c.g < 80 && c.b < 80;
}
bool IsDarkGray(Rgb c) {
    return c.r < 80 && c.g < 80 && c.b < 80 && std::abs(c.r - c.g) < 20;
}
bool IsLight(Rgb c) {
    return c.r > 170 && c.g > 170 && c.b > 170;
}

// Paints a 40 x 40 red square at (left, 10) into a 32-bit bitmap.
void PaintRedSquare(TBitmap& bitmap, int left = 10) {
    for (int y = 10; y < 50; ++y) {
        std::uint8_t* row = bitmap.ScanLine(y);
        for (int x = left; x < left + 40; ++x) {
            row[x * 4 + 0] = 0;
            row[x * 4 + 1] = 0;
            row[x * 4 + 2] = 255;
        }
    }
}

class HooksTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadEncoderLibraries();
        clip_ = dir_ / "gray.mkv";
        ASSERT_TRUE(
            RunFfmpeg("-f lavfi -i color=c=0x303030:size=160x120:rate=25:duration=1 "
                      "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 "
                      "-c:v mpeg4 -q:v 2 -c:a pcm_s16le " +
                      ShellQuote(clip_.string())));
    }

    std::unique_ptr<TCustomFFmpeg> MakeTask(const std::string& output_options,
                                            const std::string& name,
                                            const std::string& input_options = "") {
        auto task = std::make_unique<TCustomFFmpeg>();
        built_ = BuildEngineTask(*task, {{clip_.string(), input_options}},
                                 "-c:v mpeg4 -q:v 2 -c:a pcm_s16le " + output_options,
                                 (dir_ / name).string());
        EXPECT_TRUE(built_) << task->LastError;
        return task;
    }

    // Runs `task` on its worker; `during` runs on this thread until the
    // task's termination notice, then the worker is waited for.
    static void RunThreaded(TCustomFFmpeg& task, const std::function<void()>& during = {}) {
        std::atomic<bool> ended{false};
        task.TerminateCallback = [&](TCustomFFmpeg&) { ended = true; };
        TConvertThread* thread = task.Start(true, tpNormal);
        ASSERT_NE(thread, nullptr);
        thread->Resume();
        while (!ended) {
            if (during) {
                during();
            }
            std::this_thread::sleep_for(5ms);
        }
        task.Stop(true);  // the worker has ended its run: this only joins it
    }

    std::vector<std::vector<std::uint8_t>> Pictures(const std::string& name) {
        return DecodePictures(dir_ / name, dir_ / (name + ".rgb"));
    }

    TempDir dir_;
    EngineLog log_;
    fs::path clip_;
    bool built_ = false;
};

TEST_F(HooksTest, VideoOutputHookPaintsEveryEncodedPictureOnTheWorker) {
    auto task = MakeTask("", "painted.mkv");
    std::vector<std::int32_t> numbers;
    std::vector<std::int64_t> stamps;
    std::thread::id hook_thread;
    task->VideoOutputHook = [&](TCustomFFmpeg&, TBitmap& bitmap, std::int32_t frame,
                                std::int64_t pts, bool& update, bool& stop) {
        EXPECT_TRUE(update);
        EXPECT_FALSE(stop);
        EXPECT_EQ(bitmap.Width(), kWidth);
        EXPECT_EQ(bitmap.Height(), kHeight);
        hook_thread = std::this_thread::get_id();
        numbers.push_back(frame);
        stamps.push_back(pts);
        PaintRedSquare(bitmap);
    };
    RunThreaded(*task);
    ASSERT_TRUE(task->Finished()) << task->ErrorMessage();
    EXPECT_NE(hook_thread, std::this_thread::get_id());

    const auto pictures = Pictures("painted.mkv");
    ASSERT_EQ(pictures.size(), 25U);
    ASSERT_EQ(numbers.size(), pictures.size());
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_EQ(numbers[i], static_cast<std::int32_t>(i + 1));
        if (i > 0) {
            EXPECT_GT(stamps[i], stamps[i - 1]);
        }
        EXPECT_TRUE(IsRed(PixelAt(pictures[i], 30, 30))) << "picture " << i;
        EXPECT_TRUE(IsDarkGray(PixelAt(pictures[i], 100, 80))) << "picture " << i;
    }
}

// Each picture written twice (25 to 50 pictures a second): the hook is
// called for every copy, each on the picture as it came, so a hook that
// inverts in place inverts every copy once and none twice.
TEST_F(HooksTest, DuplicatedPicturesAreEachHookedFromThePictureAsItCame) {
    auto task = MakeTask("-vsync 1 -r 50", "doubled.mkv");
    int calls = 0;
    task->VideoOutputHook = [&](TCustomFFmpeg&, TBitmap& bitmap, std::int32_t, std::int64_t, bool&,
                                bool&) {
        ++calls;
        for (int y = 10; y < 50; ++y) {
            std::uint8_t* row = bitmap.ScanLine(y);
            for (int x = 10 * 4; x < 50 * 4; ++x) {
                row[x] = static_cast<std::uint8_t>(255 - row[x]);
            }
        }
    };
    task->Start();
    ASSERT_TRUE(task->Finished()) << task->ErrorMessage();
    const auto pictures = Pictures("doubled.mkv");
    ASSERT_GE(pictures.size(), 48U);  // the last picture may come once
    EXPECT_EQ(static_cast<std::size_t>(calls), pictures.size());
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_TRUE(IsLight(PixelAt(pictures[i], 30, 30))) << "picture " << i;
        EXPECT_TRUE(IsDarkGray(PixelAt(pictures[i], 100, 80))) << "picture " << i;
    }
}

// What the hook answers, and what the output and the call counts show.
struct AnswerCase {
    const char* name;
    bool update;
    bool stop;
    bool throws;
    std::size_t painted;  // pictures with the square
    int calls;            // -1: every picture
};

TEST_F(HooksTest, UpdateStopHookAndExceptionsDecideWhatIsKept) {
    const AnswerCase cases[] = {
        {"update_false", false, false, false, 0, -1},
        {"stop_hook", true, true, false, 1, 1},
        {"throws", true, false, true, 0, -1},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = std::string(c.name) + ".mkv";
        auto task = MakeTask("", name);
        int calls = 0;
        int frame_calls = 0;
        task->VideoOutputHook = [&](TCustomFFmpeg&, TBitmap& bitmap, std::int32_t, std::int64_t,
                                    bool& update, bool& stop) {
            ++calls;
            PaintRedSquare(bitmap);
            if (c.throws) {
                throw std::runtime_error("brush broke");
            }
            update = c.update;
            stop = c.stop;
        };
        task->FrameOutputHook = [&](TCustomFFmpeg&, const TFrameHookInfo&) { ++frame_calls; };
        task->Start();
        ASSERT_TRUE(task->Finished()) << task->ErrorMessage();
        const auto pictures = Pictures(name);
        ASSERT_EQ(pictures.size(), 25U);
        std::size_t painted = 0;
        for (const auto& picture : pictures) {
            painted += IsRed(PixelAt(picture, 30, 30)) ? 1 : 0;
        }
        EXPECT_EQ(painted, c.painted);
        EXPECT_TRUE(IsRed(PixelAt(pictures[0], 30, 30)) == (c.painted > 0));
        EXPECT_EQ(calls, c.calls < 0 ? 25 : c.calls);
        EXPECT_EQ(frame_calls, 25);  // the other hooks go on
        EXPECT_EQ(log_.Has(llError, "Error occurs VideoHook event: brush broke"), c.throws);
    }
}

TEST_F(HooksTest, InputHookChangeReachesTheOutputThroughTheFilters) {
    auto task = MakeTask("-vf hflip", "flipped.mkv");
    int calls = 0;
    task->VideoInputHook = [&](TCustomFFmpeg&, TBitmap& bitmap, std::int32_t frame, std::int64_t,
                               bool&, bool&) {
        EXPECT_EQ(frame, ++calls);
        PaintRedSquare(bitmap);
    };
    task->Start();
    ASSERT_TRUE(task->Finished()) << task->ErrorMessage();
    const auto pictures = Pictures("flipped.mkv");
    ASSERT_EQ(pictures.size(), 25U);
    EXPECT_EQ(calls, 25);
    for (const auto& picture : pictures) {
        // Painted at x 10..49, mirrored by the filter to x 110..149.
        EXPECT_TRUE(IsRed(PixelAt(picture, 130, 30)));
        EXPECT_TRUE(IsDarkGray(PixelAt(picture, 30, 30)));
    }
}

TEST_F(HooksTest, FrameHooksSeeThePicturesOfTheirStream) {
    auto task = MakeTask("-s 80x60", "small.mkv");
    std::vector<TFrameHookInfo> inputs;
    std::vector<TFrameHookInfo> outputs;
    const auto check_planes = [](const TFrameHookInfo& info) {
        ASSERT_NE(info.Picture, nullptr);
        ASSERT_NE(info.LineSizes, nullptr);
        for (int plane = 0; plane < 3; ++plane) {  // yuv420p
            EXPECT_NE(info.Picture[plane], nullptr);
            EXPECT_GE(info.LineSizes[plane], plane == 0 ? info.Width : info.Width / 2);
        }
    };
    task->FrameInputHook = [&](TCustomFFmpeg&, const TFrameHookInfo& info) {
        check_planes(info);
        inputs.push_back(info);
    };
    task->FrameOutputHook = [&](TCustomFFmpeg&, const TFrameHookInfo& info) {
        check_planes(info);
        outputs.push_back(info);
    };
    task->Start();
    ASSERT_TRUE(task->Finished()) << task->ErrorMessage();
    ASSERT_EQ(inputs.size(), 25U);
    ASSERT_EQ(outputs.size(), 25U);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(inputs[i].Width, kWidth);
        EXPECT_EQ(inputs[i].Height, kHeight);
        EXPECT_EQ(inputs[i].PixelFormat, AV_PIX_FMT_YUV420P);
        EXPECT_EQ(inputs[i].FrameNumber, static_cast<std::int32_t>(i + 1));
        EXPECT_EQ(outputs[i].Width, 80);
        EXPECT_EQ(outputs[i].Height, 60);
        EXPECT_EQ(outputs[i].FrameNumber, static_cast<std::int32_t>(i + 1));
    }
}

// Loudest sample of the file's audio in dB, from ffmpeg's volumedetect.
double MaxVolume(const fs::path& file) {
    std::string output;
    RunCommand("ffmpeg -nostdin -hide_banner -i " + ShellQuote(file.string()) +
                   " -map 0:a -af volumedetect -f null - 2>&1",
               &output);
    const std::string key = "max_volume: ";
    const auto at = output.find(key);
    return at == std::string::npos ? 1000 : std::stod(output.substr(at + key.size()));
}

TEST_F(HooksTest, AudioHooksSeeEverySampleOnceAndMayChangeIt) {
    auto task = MakeTask("", "silent.mkv");
    int input_frames = 0;
    std::int64_t input_samples = 0;
    std::int64_t last_pts = -1;
    bool increasing = true;
    task->AudioInputHook = [&](TCustomFFmpeg&, std::uint8_t* samples, std::int64_t pts,
                               std::int32_t size, std::int32_t rate, std::int32_t channels,
                               std::int32_t format) {
        EXPECT_NE(samples, nullptr);
        EXPECT_EQ(rate, 44100);
        EXPECT_EQ(channels, 1);
        EXPECT_EQ(format, AV_SAMPLE_FMT_S16);
        increasing = increasing && pts > last_pts;
        last_pts = pts;
        ++input_frames;
        input_samples += size / 2;
    };
    int output_frames = 0;
    task->AudioOutputHook = [&](TCustomFFmpeg&, std::uint8_t* samples, std::int64_t,
                                std::int32_t size, std::int32_t, std::int32_t, std::int32_t) {
        ++output_frames;
        std::memset(samples, 0, static_cast<std::size_t>(size));
    };
    task->Start();
    ASSERT_TRUE(task->Finished()) << task->ErrorMessage();
    EXPECT_TRUE(increasing);
    EXPECT_GT(input_frames, 0);
    EXPECT_GT(output_frames, 0);
    EXPECT_EQ(input_samples, 44100);  // one second, every decoded sample once
    EXPECT_LT(MaxVolume(dir_ / "silent.mkv"), -80.0);
    EXPECT_GT(MaxVolume(clip_), -20.0);
}

// The hooks get the bytes of the first plane: every channel of interleaved
// sound, one channel of planar sound. One second of 16-bit interleaved
// stereo and one of float planar stereo both come to 44100 * 4 bytes.
TEST_F(HooksTest, AudioHooksGetTheBytesOfTheFirstPlaneOfStereo) {
    struct Case {
        const char* name;
        const char* input_codec;   // of the stereo file read
        const char* output_codec;  // of the written sound
        std::int32_t input_format;
        std::int32_t output_format;
    };
    const Case cases[] = {
        {"interleaved", "pcm_s16le", "pcm_s16le", AV_SAMPLE_FMT_S16, AV_SAMPLE_FMT_S16},
        {"planar", "aac", "aac", AV_SAMPLE_FMT_FLTP, AV_SAMPLE_FMT_FLTP},
    };
    constexpr std::int64_t kBytesPerSecond = 44100 * 4;
    // A coder's frames may add up to one frame of priming or padding.
    constexpr std::int64_t kSlack = 2048 * 4;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path stereo = dir_ / (std::string(c.name) + "-in.mkv");
        ASSERT_TRUE(
            RunFfmpeg("-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -ac 2 "
                      "-c:a " +
                      std::string(c.input_codec) + " " + ShellQuote(stereo.string())));
        TCustomFFmpeg task;
        ASSERT_TRUE(BuildEngineTask(task, {{stereo.string(), ""}},
                                    "-c:a " + std::string(c.output_codec),
                                    (dir_ / (std::string(c.name) + "-out.mkv")).string()))
            << task.LastError;
        std::int64_t input_bytes = 0;
        std::int64_t output_bytes = 0;
        task.AudioInputHook = [&](TCustomFFmpeg&, std::uint8_t* samples, std::int64_t,
                                  std::int32_t size, std::int32_t rate, std::int32_t channels,
                                  std::int32_t format) {
            EXPECT_NE(samples, nullptr);
            EXPECT_EQ(rate, 44100);
            EXPECT_EQ(channels, 2);
            EXPECT_EQ(format, c.input_format);
            input_bytes += size;
        };
        task.AudioOutputHook = [&](TCustomFFmpeg&, std::uint8_t* samples, std::int64_t,
                                   std::int32_t size, std::int32_t, std::int32_t channels,
                                   std::int32_t format) {
            EXPECT_EQ(channels, 2);
            EXPECT_EQ(format, c.output_format);
            // Every byte the hook was given is its to change.
            std::memset(samples, 0, static_cast<std::size_t>(size));
            output_bytes += size;
        };
        task.Start();
        ASSERT_TRUE(task.Finished()) << task.ErrorMessage();
        EXPECT_NEAR(input_bytes, kBytesPerSecond, kSlack);
        EXPECT_NEAR(output_bytes, kBytesPerSecond, kSlack);
    }
}

// --- Preview ----------------------------------------------------------------------

TEST_F(HooksTest, PreviewBitmapsComeAtOnceThenAtMostEveryInterval) {
    auto task = MakeTask("", "preview.mkv", "-re");
    std::vector<std::int64_t> times;
    std::vector<std::int32_t> numbers;
    task->PreviewBitmapCallback = [&](TCustomFFmpeg&, TBitmap& bitmap, std::int32_t frame,
                                      std::int64_t) {
        EXPECT_EQ(bitmap.Width(), kWidth);
        times.push_back(ProgressClockMicroseconds());
        numbers.push_back(frame);
    };
    task->SetFlags(kPreviewBitmapFlag | kPreviewWindowFlag);  // the bitmap wins
    const std::int64_t start = ProgressClockMicroseconds();
    task->Start();
    const std::int64_t took = ProgressClockMicroseconds() - start;
    ASSERT_TRUE(task->Finished()) << task->ErrorMessage();
    ASSERT_GE(times.size(), 4U);
    EXPECT_LE(static_cast<std::int64_t>(times.size()), took / 100000 + 1);
    EXPECT_EQ(numbers.front(), 1);
    for (std::size_t i = 1; i < times.size(); ++i) {
        // The engine's own clock is read just before the conversion; a few
        // milliseconds of slack cover the conversion's jitter.
        EXPECT_GE(times[i] - times[i - 1], 95000) << i;
    }
}

class FakePreviewWindow : public TPreviewWindow {
public:
    struct Counts {
        std::atomic<int> created{0};
        std::atomic<int> shown{0};
        std::atomic<int> destroyed{0};
        int close_after = 1000;
    };
    explicit FakePreviewWindow(Counts& counts) : counts_(counts) { ++counts_.created; }
    ~FakePreviewWindow() override { ++counts_.destroyed; }
    bool ShowPicture(const TBitmap& picture, std::int32_t, std::int64_t) override {
        EXPECT_EQ(picture.Width(), kWidth);
        return ++counts_.shown < counts_.close_after;
    }

private:
    Counts& counts_;
};

TEST_F(HooksTest, ClosedPreviewWindowEndsThePreviewButNotTheTask) {
    auto task = MakeTask("", "closed.mkv", "-re");
    FakePreviewWindow::Counts counts;
    counts.close_after = 3;
    task->PreviewWindowFactory = [&] { return std::make_unique<FakePreviewWindow>(counts); };
    task->SetFlags(kPreviewWindowFlag);
    task->Start();
    ASSERT_TRUE(task->Finished()) << task->ErrorMessage();
    EXPECT_EQ(counts.created, 1);
    EXPECT_EQ(counts.shown, 3);
    EXPECT_EQ(counts.destroyed, 1);
    EXPECT_EQ(task->PreviewFlags(), 0);
    EXPECT_EQ(Pictures("closed.mkv").size(), 25U);
}

TEST_F(HooksTest, PreviewSwitchedOnAndOffWhileTheTaskRuns) {
    auto task = MakeTask("", "toggled.mkv", "-re");
    FakePreviewWindow::Counts counts;
    task->PreviewWindowFactory = [&] { return std::make_unique<FakePreviewWindow>(counts); };
    int switches = 0;
    RunThreaded(*task, [&] {
        task->SetFlags(switches % 2 == 0 ? kPreviewWindowFlag : 0);
        ++switches;
    });
    ASSERT_TRUE(task->Finished()) << task->ErrorMessage();
    EXPECT_GE(switches, 100);
    EXPECT_GT(counts.created, 0);
    EXPECT_EQ(counts.created, counts.destroyed);  // every window was freed
}

// --- "-vhook" modules -------------------------------------------------------------

TEST(VHookWordsTest, SplitsAtBarsOrElseAtBlanks) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(SplitVHookWords("/m.so|arg one| arg two"), (Words{"/m.so", "arg one", " arg two"}));
    EXPECT_EQ(SplitVHookWords("/m.so  10 20"), (Words{"/m.so", "10", "20"}));
    EXPECT_EQ(SplitVHookWords("/m.so"), (Words{"/m.so"}));
    EXPECT_EQ(SplitVHookWords(""), Words{});
}

TEST_F(HooksTest, ModuleInvertsItsRectangleInTheOutput) {
    const std::string module = kVhookInvertRect;
    auto task = MakeTask("-vhook \"" + module + "|60|20|40|40\"", "inverted.mkv");
    ASSERT_TRUE(task->VideoHookModulesPresent);
    task->Start();
    ASSERT_TRUE(task->Finished()) << task->ErrorMessage();
    const auto pictures = Pictures("inverted.mkv");
    ASSERT_EQ(pictures.size(), 25U);
    for (const auto& picture : pictures) {
        EXPECT_TRUE(IsLight(PixelAt(picture, 80, 40)));
        EXPECT_TRUE(IsDarkGray(PixelAt(picture, 30, 40)));
    }

    // With a video input hook assigned the modules stay idle.
    auto hooked = MakeTask("-vhook " + module, "not_inverted.mkv");
    hooked->VideoInputHook = [](TCustomFFmpeg&, TBitmap&, std::int32_t, std::int64_t, bool& update,
                                bool&) { update = false; };
    hooked->Start();
    ASSERT_TRUE(hooked->Finished()) << hooked->ErrorMessage();
    const auto plain = Pictures("not_inverted.mkv");
    ASSERT_FALSE(plain.empty());
    EXPECT_TRUE(IsDarkGray(PixelAt(plain[0], 30, 30)));
}

TEST_F(HooksTest, ModuleFailuresFailTheOutputWithTheirMessages) {
    const std::string good = kVhookInvertRect;
    struct Case {
        std::string text;
        std::string logged;
    };
    const Case cases[] = {
        {(dir_ / "missing.so").string(), "missing.so: cannot open shared object file"},
        {dir_.path().string(), "cannot read file data"},
        {kVhookWithoutProcess,
         std::string("Failed to find Process entrypoint in ") + kVhookWithoutProcess},
        {good + "|arg one|arg two", "Failed to Configure " + good},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto task = std::make_unique<TCustomFFmpeg>();
        EXPECT_FALSE(
            BuildEngineTask(*task, {{clip_.string(), ""}}, "-c:v mpeg4 -vhook \"" + c.text + "\"",
                            (dir_ / ("failed" + std::to_string(index++) + ".mkv")).string()));
        EXPECT_NE(task->LastError.find("Failed to add video hook function: " + c.text),
                  std::string::npos)
            << task->LastError;
        EXPECT_TRUE(log_.Contains(c.logged));
        EXPECT_FALSE(task->VideoHookModulesPresent);
    }
}

TEST_F(HooksTest, ModuleFileIsLoadedOncePerProcessAndConfiguredPerTask) {
    const fs::path copy = dir_ / "once.so";
    fs::copy_file(kVhookInvertRect, copy);
    auto first = MakeTask("-vhook " + copy.string(), "first.mkv");
    // The file is gone; the second task still gets the module, from memory.
    fs::remove(copy);
    auto second = MakeTask("-vhook " + copy.string(), "second.mkv");
    ASSERT_TRUE(first->VideoHookModulesPresent);
    ASSERT_TRUE(second->VideoHookModulesPresent);
    first->Start();
    second->Start();
    for (const char* name : {"first.mkv", "second.mkv"}) {
        const auto pictures = Pictures(name);
        ASSERT_FALSE(pictures.empty()) << name;
        EXPECT_TRUE(IsLight(PixelAt(pictures[0], 30, 30))) << name;  // default rectangle
    }
}

TEST_F(HooksTest, BitmapDepthOptionTakesOnlyTheSupportedNumbers) {
    struct Case {
        const char* text;
        const char* error;  // null: accepted
    };
    const Case cases[] = {
        {"24", nullptr},
        {"20", "Invalid BitsPixel 20"},
        {"abc", "'abc' is not a valid integer value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto task = std::make_unique<TCustomFFmpeg>();
        const bool built = BuildEngineTask(
            *task, {{clip_.string(), ""}}, std::string("-c:v mpeg4 -VideoHookBitsPixel ") + c.text,
            (dir_ / (std::string("bits") + c.text + ".mkv")).string());
        EXPECT_EQ(built, c.error == nullptr) << task->LastError;
        if (c.error != nullptr) {
            EXPECT_TRUE(log_.Has(llError, c.error));
            continue;
        }
        int bytes_per_row = 0;
        task->VideoOutputHook = [&](TCustomFFmpeg&, TBitmap& bitmap, std::int32_t, std::int64_t,
                                    bool& update, bool&) {
            bytes_per_row = bitmap.BytesPerRow();
            update = false;
        };
        task->Start();
        EXPECT_TRUE(task->Finished());
        EXPECT_EQ(bytes_per_row, kWidth * 3);
    }
}

}  // namespace
}  // namespace tavrin::testing

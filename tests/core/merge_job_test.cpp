// The merge job on real files: the join of several songs cut to the video,
// a single song used directly, the log lines of every failure, stopping
// during the join and during the final task, a failed join, and the rule that
// no temporary file outlives a merge.
#include "app/core/merge_job.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/choice_lists.h"
#include "app/core/settings.h"
#include "core_test_support.h"
#include "media/runtime/loader.h"
#include "media/runtime/main_thread.h"
#include "merge_test_support.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

// Songs and videos shared by every test here.
class MergeMedia {
public:
    static MergeMedia& Get() {
        static MergeMedia media;
        return media;
    }
    std::string Video() const { return (dir_ / "video.mp4").string(); }
    std::string Song(int frequency) const {
        return (dir_ / ("song" + std::to_string(frequency) + ".mp3")).string();
    }
    std::string Short() const { return (dir_ / "short.mp3").string(); }
    std::string Text() const { return (dir_ / "notes.txt").string(); }

private:
    MergeMedia() { MakeMergeMediaSet(dir_); }
    TempDir dir_;
};

int FormatIndexOf(const std::string& name) {
    const auto names = FormatNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

class MergeJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitMainThread();
        if (!FFLoader().LibrarySetLoaded(EncoderLibs)) {
            ASSERT_TRUE(FFLoader().LoadLibs(EncoderLibs)) << FFLoader().LastErrorText();
        }
        media_ = &MergeMedia::Get();
        out_ = dir_.path() / "out";
        fs::create_directories(out_);
        settings_ = std::make_unique<TSettings>((dir_.path() / "tavrin.ini").string());
        ASSERT_TRUE(settings_->SetOutputDir(out_.string()));
        callbacks_.LogLine = [this](const std::string& line) { log_.push_back(line); };
        callbacks_.SetBusy = [this] { states_.push_back("busy"); };
        callbacks_.SetIdle = [this] { states_.push_back("idle"); };
        callbacks_.ShowError = [this](const std::string& message) { errors_.push_back(message); };
        callbacks_.Progress = [this](TMergeStage stage, std::int64_t percent,
                                     const TProgressInfo&) {
            if (stage == TMergeStage::Final) {
                final_percents_.push_back(percent);
            }
        };
    }

    TMergeSource Source(std::vector<std::string> audio, const std::string& format = "MP4") {
        TMergeSource source;
        source.VideoFile = media_->Video();
        source.AudioFiles = std::move(audio);
        source.Choices.FormatIndex = FormatIndexOf(format);
        source.Choices.UseVideoQuality = false;
        return source;
    }

    TMergeResult Run(const TMergeSource& source,
                     const std::function<void(TMergeJob&)>& prepare = nullptr) {
        TMergeJob job(encoder_, decoder_, *settings_, callbacks_);
        job_ = &job;
        if (prepare) {
            prepare(job);
        }
        TMergeResult result = job.Merge(source);
        job_ = nullptr;
        return result;
    }

    bool LogHas(const std::string& part) const {
        for (const auto& line : log_) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // No temporary file is left in the output folder.
    void ExpectNoTempFile() const {
        for (const auto& name : FolderEntries(out_)) {
            EXPECT_NE(name.rfind("tempaudio-", 0), 0u) << name;
        }
    }

    // The notice of the first task of a run (the join when one runs, else
    // the final task) says that it failed with the message.
    void MakeTheTaskFail(const std::string& message) {
        const TTerminateEvent job_handler = encoder_.OnTerminate;
        encoder_.OnTerminate = [job_handler, message](TCustomEncoder* sender,
                                                      const TTerminateInfo& info) {
            TTerminateInfo failed = info;
            if (info.TaskIndex == 0) {
                failed.Finished = false;
                failed.Exception = true;
                failed.ExceptionMsg = message;
            }
            job_handler(sender, failed);
        };
    }

    // The failure's three log lines: empty, the text, empty; the text.
    std::string ExpectFailureLines(const std::string& prefix) const {
        for (std::size_t i = 1; i + 1 < log_.size(); ++i) {
            if (log_[i].rfind(prefix, 0) == 0) {
                EXPECT_EQ(log_[i - 1], "");
                EXPECT_EQ(log_[i + 1], "");
                return log_[i];
            }
        }
        ADD_FAILURE() << "no log line starting with " << prefix;
        return std::string();
    }

    MergeMedia* media_ = nullptr;
    TempDir dir_;
    fs::path out_;
    std::unique_ptr<TSettings> settings_;
    TZOZovadod encoder_;
    TVEVarazez decoder_;
    TMergeJobCallbacks callbacks_;
    TMergeJob* job_ = nullptr;
    std::vector<std::string> log_;
    std::vector<std::string> states_;
    std::vector<std::string> errors_;
    std::vector<std::int64_t> final_percents_;
};

TEST(MergeProgress, IsCurrentTimesHundredDivTotal) {
    const struct {
        std::int64_t current, total, percent;
    } cases[] = {
        {0, 20000000, 0},
        {9999999, 20000000, 49},
        {20000000, 20000000, 100},
        {20500000, 20000000, 102},
        {5, 0, 0},
        {5, -1, 0},
        // 64-bit arithmetic: no overflow for long media.
        {std::int64_t{1} << 55, std::int64_t{1} << 56, 50},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MergeProgressPercent(c.current, c.total), c.percent)
            << c.current << " / " << c.total;
    }
}

TEST_F(MergeJobTest, JoinsTheSongsInOrderCutToTheVideo) {
    const TMergeResult result =
        Run(Source({media_->Song(440), media_->Song(880), media_->Song(1320)}));
    ASSERT_EQ(result.Outcome, TMergeOutcome::Finished) << result.ErrorText;
    EXPECT_EQ(result.OutputFile, (out_ / "merger-video-tempaudio-song440_(new).mp4").string());
    ASSERT_TRUE(fs::exists(result.OutputFile));
    EXPECT_NEAR(StreamSeconds(result.OutputFile, "v"), 20, 0.2);
    EXPECT_NEAR(StreamSeconds(result.OutputFile, "a"), 20, 0.2);
    EXPECT_NEAR(ToneAt(result.OutputFile, 5), 440, 15);
    EXPECT_NEAR(ToneAt(result.OutputFile, 15), 880, 15);
    EXPECT_NEAR(ToneAt(result.OutputFile, 19), 880, 15);
    ExpectNoTempFile();
    EXPECT_EQ(states_, (std::vector<std::string>{"busy", "idle"}));
    // Each of the two runs ends with its notice.
    EXPECT_EQ(log_, (std::vector<std::string>{"mergeing finished", "mergeing finished"}));
    ASSERT_FALSE(final_percents_.empty());
    EXPECT_NEAR(static_cast<double>(final_percents_.back()), 100, 1);
    EXPECT_TRUE(errors_.empty());
}

TEST_F(MergeJobTest, OneSongShorterThanTheVideoIsUsedDirectly) {
    const TMergeResult result = Run(Source({media_->Short()}));
    ASSERT_EQ(result.Outcome, TMergeOutcome::Finished) << result.ErrorText;
    EXPECT_EQ(result.OutputFile, (out_ / "merger-video-short_(new).mp4").string());
    EXPECT_NEAR(StreamSeconds(result.OutputFile, "a"), 5, 0.2);
    EXPECT_NEAR(ToneAt(result.OutputFile, 2), 660, 15);
    // Only the final task ran.
    EXPECT_EQ(log_, (std::vector<std::string>{"mergeing finished"}));
    EXPECT_EQ(FolderEntries(out_), (std::vector<std::string>{"merger-video-short_(new).mp4"}));
}

TEST_F(MergeJobTest, SeveralSongsShorterThanTheVideoAreAllJoined) {
    const TMergeResult result = Run(Source({media_->Short(), media_->Song(1320)}));
    ASSERT_EQ(result.Outcome, TMergeOutcome::Finished) << result.ErrorText;
    EXPECT_NEAR(StreamSeconds(result.OutputFile, "a"), 15, 0.3);
    EXPECT_NEAR(ToneAt(result.OutputFile, 2), 660, 15);
    EXPECT_NEAR(ToneAt(result.OutputFile, 12), 1320, 20);
    ExpectNoTempFile();
}

TEST_F(MergeJobTest, AVideoWithoutVideoStreamEndsBeforeAnyJoin) {
    TMergeSource source = Source({media_->Song(440), media_->Song(880), media_->Song(1320)});
    source.VideoFile = media_->Song(880);
    const TMergeResult result = Run(source);
    EXPECT_EQ(result.Outcome, TMergeOutcome::Failed);
    EXPECT_EQ(log_, (std::vector<std::string>{"", "***No video stream", ""}));
    EXPECT_EQ(states_, (std::vector<std::string>{"busy", "idle"}));
    EXPECT_TRUE(FolderEntries(out_).empty());
}

TEST_F(MergeJobTest, AFailedJoinStopsTheMergeWithItsMessage) {
    const TMergeResult result =
        Run(Source({media_->Song(440), media_->Song(880), media_->Song(1320)}), [this](TMergeJob&) {
            // As a broken input or a full disk would.
            MakeTheTaskFail("Error while writing the joined audio");
        });
    EXPECT_EQ(result.Outcome, TMergeOutcome::Failed);
    EXPECT_EQ(result.ErrorText, "Error while writing the joined audio");
    EXPECT_EQ(errors_, (std::vector<std::string>{"Error while writing the joined audio"}));
    // No final task was built on the broken file, and the file is gone.
    EXPECT_TRUE(FolderEntries(out_).empty());
    EXPECT_EQ(states_, (std::vector<std::string>{"busy", "idle"}));
}

TEST_F(MergeJobTest, AFailedFinalTaskLeavesNoOutput) {
    const TMergeResult result = Run(Source({media_->Short()}), [this](TMergeJob&) {
        MakeTheTaskFail("No space left on device");  // as a full disk would
    });
    EXPECT_EQ(result.Outcome, TMergeOutcome::Failed);
    EXPECT_EQ(result.ErrorText, "No space left on device");
    EXPECT_TRUE(FolderEntries(out_).empty());
    // The next merge takes the first name again.
    callbacks_.ShowError = nullptr;
    const TMergeResult next = Run(Source({media_->Short()}));
    ASSERT_EQ(next.Outcome, TMergeOutcome::Finished) << next.ErrorText;
    EXPECT_EQ(next.OutputFile, (out_ / "merger-video-short_(new).mp4").string());
}

TEST_F(MergeJobTest, RandomBytesAmongTheSongsAreNamed) {
    const fs::path noise = dir_.path() / "noise.mp3";
    {
        std::ofstream out(noise, std::ios::binary);
        std::uint32_t state = 12345;
        for (int i = 0; i < 100000; ++i) {
            state = state * 1664525u + 1013904223u;
            out.put(static_cast<char>(state >> 24));
        }
    }
    const struct {
        const char* name;
        std::vector<std::string> audio;
    } cases[] = {
        {"among songs", {media_->Song(440), noise.string(), media_->Song(880)}},
        {"the only song", {noise.string()}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TMergeResult result = Run(Source(c.audio));
        EXPECT_EQ(result.Outcome, TMergeOutcome::Failed);
        EXPECT_NE(result.ErrorText.find(noise.string()), std::string::npos) << result.ErrorText;
        // Refused before any task runs, for what it is.
        EXPECT_EQ(result.ErrorText, noise.string() + ": the file has no decodable audio");
        EXPECT_TRUE(FolderEntries(out_).empty());
    }
}

TEST_F(MergeJobTest, StopDuringTheJoinLeavesNothingBehind) {
    callbacks_.SetBusy = [this] {
        states_.push_back("busy");
        job_->Stop();  // seen by the join's wait loop
    };
    const TMergeResult result =
        Run(Source({media_->Song(440), media_->Song(880), media_->Song(1320)}));
    EXPECT_EQ(result.Outcome, TMergeOutcome::Stopped);
    EXPECT_TRUE(FolderEntries(out_).empty());
    EXPECT_EQ(encoder_.TaskCount(), 0);
    EXPECT_FALSE(encoder_.Working());
}

// With opens on a worker, the main thread serves its calls while a file
// opens (a named pipe that waits for its writer: the video, or a song being
// probed), a call on the encoder made meanwhile waits for the open, the
// window's own decoder stays usable, and a stop asked for then ends the
// merge without a file. The same job then merges to the end, every open on
// the worker.
TEST_F(MergeJobTest, OpensOnAWorkerWhileTheMainThreadServesItsCalls) {
    TMergeJob job(encoder_, decoder_, *settings_, callbacks_);
    job.SetOpenOnWorker(true);
    for (const bool pipe_is_the_video : {true, false}) {
        SCOPED_TRACE(pipe_is_the_video ? "video" : "song");
        bool lent_while_open = false;
        bool encoder_call_ran_at_once = false;
        bool encoder_call_ran = false;
        bool own_decoder_opened = false;
        const fs::path pipe =
            dir_.path() / (pipe_is_the_video ? "pipe-video.mp4" : "pipe-song.mp3");
        std::optional<TBlockedOpen> blocked;
        blocked.emplace(pipe, [&] {
            if (!job.EncoderLent()) {
                return;  // too late: the open is over
            }
            lent_while_open = true;
            job.WithEncoder([&] { encoder_call_ran = true; });
            encoder_call_ran_at_once = encoder_call_ran;
            // What "Add Audio" does meanwhile.
            own_decoder_opened = decoder_.LoadFile(media_->Song(1320));
            decoder_.CloseFile();
            job.Stop();
        });
        ASSERT_TRUE(blocked->Made());
        TMergeSource source = Source({media_->Song(440), media_->Song(880)});
        if (pipe_is_the_video) {
            source.VideoFile = pipe.string();
        } else {
            source.AudioFiles.back() = pipe.string();
        }
        const TMergeResult stopped = job.Merge(source);
        blocked.reset();
        EXPECT_TRUE(lent_while_open);
        EXPECT_FALSE(encoder_call_ran_at_once);
        EXPECT_TRUE(encoder_call_ran);
        EXPECT_TRUE(own_decoder_opened);
        EXPECT_FALSE(job.EncoderLent());
        EXPECT_EQ(stopped.Outcome, TMergeOutcome::Stopped);
        EXPECT_TRUE(FolderEntries(out_).empty());
        // Busy only once the video was opened.
        const std::vector<std::string> states = pipe_is_the_video
                                                    ? std::vector<std::string>{}
                                                    : std::vector<std::string>{"busy", "idle"};
        EXPECT_EQ(states_, states);
        states_.clear();
    }

    const TMergeResult merged = job.Merge(Source({media_->Song(440), media_->Song(880)}));
    ASSERT_EQ(merged.Outcome, TMergeOutcome::Finished) << merged.ErrorText;
    EXPECT_NEAR(StreamSeconds(merged.OutputFile, "a"), 20, 0.3);
    EXPECT_NEAR(ToneAt(merged.OutputFile, 5), 440, 15);
    EXPECT_NEAR(ToneAt(merged.OutputFile, 15), 880, 15);
    ExpectNoTempFile();
}

TEST_F(MergeJobTest, AStopAskedForBeforeTheMergeIsHonouredOnce) {
    for (const auto& audio : {std::vector<std::string>{media_->Song(440), media_->Song(880)},
                              std::vector<std::string>{media_->Short()}}) {
        TMergeJob job(encoder_, decoder_, *settings_, callbacks_);
        job.Stop();
        const TMergeResult stopped = job.Merge(Source(audio));
        EXPECT_EQ(stopped.Outcome, TMergeOutcome::Stopped);
        EXPECT_TRUE(FolderEntries(out_).empty());
        EXPECT_FALSE(job.StopRequested());
        // The stop is used up: the next merge runs.
        const TMergeResult next = job.Merge(Source(audio));
        EXPECT_EQ(next.Outcome, TMergeOutcome::Finished) << next.ErrorText;
        fs::remove(next.OutputFile);
    }
}

TEST_F(MergeJobTest, AMissingOutputFolderIsMadeBeforeTheJoin) {
    const fs::path folder = out_ / "new" / "deep";
    ASSERT_TRUE(settings_->SetOutputDir(folder.string()));
    std::vector<std::string> warnings;
    callbacks_.Warn = [&warnings](const std::string&, const std::string& text) {
        warnings.push_back(text);
    };
    const TMergeResult result = Run(Source({media_->Song(440), media_->Song(880)}));
    ASSERT_EQ(result.Outcome, TMergeOutcome::Finished) << result.ErrorText;
    EXPECT_EQ(result.OutputFile, (folder / "merger-video-tempaudio-song440_(new).mp4").string());
    EXPECT_EQ(FolderEntries(folder),
              std::vector<std::string>{"merger-video-tempaudio-song440_(new).mp4"});
    EXPECT_TRUE(warnings.empty()) << ::testing::PrintToString(warnings);
}

TEST_F(MergeJobTest, StopDuringTheFinalTaskKeepsAPlayablePartialFile) {
    encoder_.SetProgressInterval(100);
    callbacks_.Progress = [this](TMergeStage stage, std::int64_t, const TProgressInfo&) {
        if (stage == TMergeStage::Final) {
            job_->Stop();
        }
    };
    const TMergeResult result =
        Run(Source({media_->Song(440), media_->Song(880), media_->Song(1320)}));
    EXPECT_EQ(result.Outcome, TMergeOutcome::Stopped);
    ASSERT_FALSE(result.OutputFile.empty());
    ASSERT_TRUE(fs::exists(result.OutputFile));
    EXPECT_GT(StreamSeconds(result.OutputFile, "v"), 0);
    ExpectNoTempFile();
    EXPECT_EQ(states_.back(), "idle");
    EXPECT_FALSE(encoder_.Working());
}

TEST_F(MergeJobTest, FailuresLogTheirLineAndLeaveNoFiles) {
    UnwritableFolder unwritable;
    const std::string unreadable = media_->Text() + ": Invalid data found";
    const struct {
        const char* name;
        std::vector<std::string> audio;
        bool unwritable_output;
        const char* line;
        std::string reason;  // a part of the text after the prefix
    } cases[] = {
        {"empty audio list", {}, false, "***Audio file open error: ", ""},
        {"text file as the only song",
         {media_->Text()},
         false,
         "***Audio file open error: ",
         unreadable},
        {"text file among songs",
         {media_->Song(440), media_->Text(), media_->Song(880)},
         false,
         "***Audio file open error: ",
         unreadable},
        {"unwritable output, no join",
         {media_->Short()},
         true,
         "***Cannot do convert, error: ",
         unwritable.path()},
        {"unwritable output, join",
         {media_->Song(440), media_->Song(880), media_->Song(1320)},
         true,
         "***Cannot do convert, error: ",
         unwritable.path()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_.clear();
        states_.clear();
        ASSERT_TRUE(
            settings_->SetOutputDir(c.unwritable_output ? unwritable.path() : out_.string()));
        const TMergeResult result = Run(Source(c.audio));
        EXPECT_EQ(result.Outcome, TMergeOutcome::Failed);
        const std::string line = ExpectFailureLines(c.line);
        EXPECT_NE(line.find(c.reason, std::string(c.line).size()), std::string::npos) << line;
        EXPECT_GT(line.size(), std::string(c.line).size()) << "no reason given";
        EXPECT_EQ(result.ErrorText.empty(), false);
        EXPECT_EQ(states_, (std::vector<std::string>{"busy", "idle"}));
        EXPECT_TRUE(FolderEntries(out_).empty());
        EXPECT_EQ(encoder_.TaskCount(), 0);
    }
}

TEST_F(MergeJobTest, AVideoThatIsNotMediaEndsSilently) {
    TMergeSource source = Source({media_->Short()});
    source.VideoFile = media_->Text();
    const TMergeResult result = Run(source);
    EXPECT_EQ(result.Outcome, TMergeOutcome::NotStarted);
    EXPECT_FALSE(result.ErrorText.empty());
    EXPECT_TRUE(log_.empty());
    EXPECT_TRUE(states_.empty());
    EXPECT_TRUE(FolderEntries(out_).empty());
}

TEST_F(MergeJobTest, AUsersOwnTempaudioFileIsNeverDeleted) {
    const fs::path own = out_ / "tempaudio-mine.mp3";
    fs::copy_file(media_->Short(), own);
    const TMergeResult result = Run(Source({own.string()}));
    ASSERT_EQ(result.Outcome, TMergeOutcome::Finished) << result.ErrorText;
    EXPECT_TRUE(fs::exists(own));
}

}  // namespace
}  // namespace tavrin::testing

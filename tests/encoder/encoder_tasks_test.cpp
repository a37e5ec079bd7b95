// Building tasks: option records, the hook option names, the hook bitmap
// depth, the progress interval, removing and clearing tasks, failures and the
// refusals while a run is active.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoder_test_support.h"
#include "media/runtime/ffmpeg_exception.h"

namespace tavrin::testing {
namespace {

TEST(OptionRecords, DefaultsAndInitialising) {
    TOutputOptions out;
    EXPECT_EQ(out.VideoHookBitsPixel, 32);
    EXPECT_FALSE(out.Join || out.AudioInputHook || out.AudioOutputHook || out.VideoInputHook ||
                 out.VideoOutputHook || out.FrameInputHook || out.FrameOutputHook);
    out.FileName = "x";
    out.Options = "-y";
    out.VideoHookBitsPixel = 8;
    out.Join = true;
    InitOutputOptions(out);
    EXPECT_TRUE(out.FileName.empty() && out.Options.empty() && out.Presets.empty());
    EXPECT_EQ(out.VideoHookBitsPixel, 32);
    EXPECT_FALSE(out.Join);

    TInputOptions in{"a", "-ss 1", "b=c"};
    InitInputOptions(in);
    EXPECT_TRUE(in.FileName.empty() && in.Options.empty() && in.Presets.empty());
}

TEST(HookOptionNames, AreRewrittenIgnoringCaseAndTrimmed) {
    const struct {
        const char* given;
        const char* expected;
    } cases[] = {
        {"-JOIN -audioInputHook -y", "-Join -AudioInputHook -y"},
        {"  -videoinputhook -VIDEOOUTPUTHOOK  ", "-VideoInputHook -VideoOutputHook"},
        {"-frameinputhook -frameoutputhook -audiooutputhook",
         "-FrameInputHook -FrameOutputHook -AudioOutputHook"},
        {"-join -join", "-Join -Join"},
        // Only whole option names: a value or a longer name is left alone.
        {"-joined 1 -metadata title=-join", "-joined 1 -metadata title=-join"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RewriteHookOptionNames(c.given), c.expected) << c.given;
    }
}

class EncoderTasksTest : public EncoderTest {};

TEST_F(EncoderTasksTest, EmptyRecordFileNameIsFilledInAndRecordsAreOptional) {
    TZOZovadod encoder;
    TInputOptions input;
    ASSERT_EQ(encoder.AddTask(media_->Clip(), &input), 0) << encoder.LastErrorText();
    EXPECT_EQ(input.FileName, media_->Clip());

    // A record's own name is kept; the argument is what gets opened.
    TInputOptions named;
    named.FileName = "kept.mp3";
    ASSERT_EQ(encoder.AddInput(0, media_->Tone(), &named), 1) << encoder.LastErrorText();
    EXPECT_EQ(named.FileName, "kept.mp3");

    // No record at all.
    EXPECT_EQ(encoder.AddTask(media_->Tone()), 1);
    TOutputOptions out;
    out.Options = "-y";
    EXPECT_GE(encoder.SetOutput(1, media_->Out("records.mp3"), &out), 0) << encoder.LastErrorText();
    EXPECT_EQ(out.FileName, media_->Out("records.mp3"));
    EXPECT_EQ(encoder.Task(0).input_files.size(), 2u);
    EXPECT_EQ(encoder.Task(0).Owner(), &encoder);
}

TEST_F(EncoderTasksTest, HookAndJoinNamesReachTheEngineSpelledItsWay) {
    TZOZovadod encoder;
    ASSERT_EQ(encoder.AddTask(media_->Tone()), 0);
    ASSERT_GE(encoder.AddInput(0, media_->Tone()), 0);
    TOutputOptions out;
    out.Options = "-JOIN -audioInputHook -y";
    // Unrewritten, a strict task would refuse "-JOIN" as an unknown option.
    EXPECT_GE(encoder.SetOutput(0, media_->Out("hooknames.mp3"), &out), 0)
        << encoder.LastErrorText();

    // The option table matches names exactly: a name it does not have fails.
    ASSERT_EQ(encoder.AddTask(media_->Tone()), 1);
    out.Options = "-JOINED -y";
    EXPECT_LT(encoder.SetOutput(1, media_->Out("hooknames2.mp3"), &out), 0);
}

TEST_F(EncoderTasksTest, InvalidHookBitsPixelFailsTheOutput) {
    TZOZovadod encoder;
    ASSERT_EQ(encoder.AddTask(media_->Clip()), 0);
    TOutputOptions out;
    out.Options = "-y";
    out.VideoHookBitsPixel = 20;
    EXPECT_EQ(encoder.SetOutput(0, media_->Out("bits20.mkv"), &out), -1);
    EXPECT_EQ(encoder.LastErrorText(), "Invalid BitsPixel 20");
    EXPECT_EQ(encoder.TaskCount(), 1);  // the task stays

    for (const int bits : {8, 15, 16, 24, 32}) {
        TFFmpeg& task = encoder.Task(0);
        task.SetHookBitsPixel(bits);
        EXPECT_EQ(task.HookBitsPixel(), bits);
    }
}

TEST_F(EncoderTasksTest, ProgressIntervalHasAFloorOf100) {
    TZOZovadod encoder;
    EXPECT_EQ(encoder.ProgressInterval(), 500);
    const struct {
        int given;
        int stored;
    } cases[] = {{50, 100}, {100, 100}, {101, 101}, {0, 100}, {-7, 100}, {2000, 2000}};
    for (const auto& c : cases) {
        encoder.SetProgressInterval(c.given);
        EXPECT_EQ(encoder.ProgressInterval(), c.stored) << c.given;
    }
}

TEST_F(EncoderTasksTest, RemoveTaskShiftsTheLaterTasksDown) {
    TZOZovadod encoder;
    ASSERT_EQ(encoder.AddTask(media_->Clip()), 0);
    ASSERT_EQ(encoder.AddTask(media_->Tone()), 1);
    TFFmpeg* second = &encoder.Task(1);
    encoder.RemoveTask(0);
    ASSERT_EQ(encoder.TaskCount(), 1);
    EXPECT_EQ(&encoder.Task(0), second);
    EXPECT_EQ(encoder.IndexOf(second), 0);

    // Indexes outside the list raise and change nothing.
    EXPECT_THROW(encoder.RemoveTask(1), FFmpegException);
    EXPECT_THROW(encoder.RemoveTask(-1), FFmpegException);
    EXPECT_THROW(encoder.AddInput(3, media_->Tone()), FFmpegException);
    EXPECT_THROW(encoder.SetOutput(3, media_->Out("none.mp3")), FFmpegException);
    EXPECT_EQ(encoder.TaskCount(), 1);
}

TEST_F(EncoderTasksTest, FailuresReturnNegativeWithTheirText) {
    TZOZovadod encoder;
    const std::string text_file = media_->Out("notes.txt");
    {
        std::FILE* file = std::fopen(text_file.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("not media at all\n", file);
        std::fclose(file);
    }
    // A failed AddTask leaves no task.
    EXPECT_LT(encoder.AddTask(text_file), 0);
    EXPECT_FALSE(encoder.LastErrorText().empty());
    EXPECT_EQ(encoder.TaskCount(), 0);
    EXPECT_LT(encoder.AddTask(""), 0);
    EXPECT_EQ(encoder.TaskCount(), 0);

    // A failed AddInput keeps the task and its earlier input.
    ASSERT_EQ(encoder.AddTask(media_->Clip()), 0);
    EXPECT_LT(encoder.AddInput(0, text_file), 0);
    EXPECT_FALSE(encoder.LastErrorText().empty());
    EXPECT_EQ(encoder.Task(0).input_files.size(), 1u);

    // An unknown option fails a strict task's output; the task stays.
    TOutputOptions out;
    out.Options = "-y -no_such_option 1";
    EXPECT_LT(encoder.SetOutput(0, media_->Out("strict.mkv"), &out), 0);
    EXPECT_NE(encoder.LastErrorText().find("no_such_option"), std::string::npos)
        << encoder.LastErrorText();
    EXPECT_EQ(encoder.TaskCount(), 1);
}

TEST_F(EncoderTasksTest, SettingsReachEveryTask) {
    TZOZovadod encoder;
    encoder.StrictOptions = false;
    encoder.SetTimeout(1234);
    encoder.SetWriteTimeout(5678);
    ASSERT_EQ(encoder.AddTask(media_->Clip()), 0);
    ASSERT_EQ(encoder.AddTask(media_->Tone()), 1);
    EXPECT_FALSE(encoder.Task(0).StrictOptions);
    EXPECT_EQ(encoder.Task(0).ReadTimeout, 1234);
    EXPECT_EQ(encoder.Task(0).WriteTimeout, 5678);

    encoder.SetPreview(true);
    EXPECT_EQ(encoder.Task(0).PreviewFlags(), kPreviewWindowFlag);
    encoder.SetPreviewBitmap(true);
    EXPECT_EQ(encoder.Task(1).PreviewFlags(), kPreviewWindowFlag | kPreviewBitmapFlag);
    encoder.SetPreview(false);
    EXPECT_EQ(encoder.Task(0).PreviewFlags(), kPreviewBitmapFlag);
    // New tasks take the current flags.
    ASSERT_EQ(encoder.AddTask(media_->Tone()), 2);
    EXPECT_EQ(encoder.Task(2).PreviewFlags(), kPreviewBitmapFlag);
}

TEST_F(EncoderTasksTest, OperationsAreRefusedWhileWorkingUntilClearTasks) {
    TZOZovadod encoder;
    AddConversion(encoder, "refused.mkv");
    encoder.StartTask(1);
    encoder.Pause();  // keeps the run active while the refusals are tried

    const struct {
        const char* name;
        std::function<void()> call;
    } operations[] = {
        {"AddTask", [&] { encoder.AddTask(media_->Tone()); }},
        {"AddInput", [&] { encoder.AddInput(0, media_->Tone()); }},
        {"SetOutput", [&] { encoder.SetOutput(0, media_->Out("x.mkv")); }},
        {"RemoveTask", [&] { encoder.RemoveTask(0); }},
        {"StartTask", [&] { encoder.StartTask(1); }},
        {"ClearTasks", [&] { encoder.ClearTasks(); }},
    };
    for (const auto& operation : operations) {
        try {
            operation.call();
            ADD_FAILURE() << operation.name << " was not refused";
        } catch (const FFmpegException& error) {
            EXPECT_EQ(error.what(), "Cannot " + std::string(operation.name) + " while working.");
        }
        EXPECT_EQ(encoder.TaskCount(), 1) << operation.name;
    }
    encoder.Stop(true);
    ASSERT_TRUE(PumpUntil([&] { return encoder.AllDone(); }));
    EXPECT_TRUE(encoder.Working());  // stays set after the run

    // Allowed once the run is done, and the only way back to idle.
    encoder.ClearTasks();
    EXPECT_FALSE(encoder.Working());
    EXPECT_FALSE(encoder.AllDone());
    EXPECT_FALSE(encoder.Paused());
    EXPECT_EQ(encoder.TaskCount(), 0);
    EXPECT_GE(encoder.AddTask(media_->Tone()), 0);
}

}  // namespace
}  // namespace tavrin::testing

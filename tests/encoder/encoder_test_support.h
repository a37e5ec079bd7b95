// Shared set-up of the encoder tests: the libraries, the main thread, a few
// small media files made once per test program, and waits that keep serving
// the main thread's queue.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "fixtures/media_fixtures.h"
#include "fixtures/serve_main_thread.h"
#include "media/encoder/custom_encoder.h"
#include "media/runtime/loader.h"
#include "media/runtime/main_thread.h"

namespace tavrin::testing {

// Files shared by every test of the program; made on first use.
class EncoderMedia {
public:
    static EncoderMedia& Get() {
        static EncoderMedia media;
        return media;
    }
    // 160x120 mpeg4 + aac, 2 s.
    std::string Clip() const { return clip_.string(); }
    // A 1 s mp3 tone.
    std::string Tone() const { return tone_.string(); }
    std::string Out(const std::string& name) const { return (dir_ / name).string(); }
    const TempDir& Dir() const { return dir_; }

private:
    EncoderMedia() {
        clip_ = MakeVideoWithAudio(dir_, "clip.mp4", 2.0);
        tone_ = MakeTone(dir_, "tone.mp3", 1.0, 440);
    }
    TempDir dir_;
    std::filesystem::path clip_;
    std::filesystem::path tone_;
};

class EncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitMainThread();
        if (!FFLoader().LibrarySetLoaded(EncoderLibs)) {
            ASSERT_TRUE(FFLoader().LoadLibs(EncoderLibs)) << FFLoader().LastErrorText();
        }
        media_ = &EncoderMedia::Get();
    }

    // Serves the main thread's queue until `done` holds or the time is up.
    static bool PumpUntil(const std::function<bool()>& done,
                          std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        return ServeMainThreadUntil(done, limit);
    }

    // A task that converts the clip into `output` (mpeg4 + mp2); its index.
    std::int32_t AddConversion(TZOZovadod& encoder, const std::string& output,
                               const std::string& input_options = "") {
        TInputOptions input;
        input.Options = input_options;
        const std::int32_t index = encoder.AddTask(media_->Clip(), &input);
        EXPECT_GE(index, 0) << encoder.LastErrorText();
        TOutputOptions out;
        out.Options = "-y -c:v mpeg4 -c:a mp2";
        EXPECT_GE(encoder.SetOutput(index, media_->Out(output), &out), 0)
            << encoder.LastErrorText();
        return index;
    }

    EncoderMedia* media_ = nullptr;
};

}  // namespace tavrin::testing

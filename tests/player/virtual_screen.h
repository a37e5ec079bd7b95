// Pictures on an X server without a screen: an Xvfb started for the test
// program when the machine has it (else SDL's dummy video driver), and the
// fixture of the picture tests, which plays with the display on.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "fixtures/wait_until.h"
#include "player_test_support.h"

namespace tavrin::testing {

using namespace std::chrono_literals;

// An Xvfb of our own for the test program's life.
class VirtualScreen {
public:
    VirtualScreen() {
        if (!std::filesystem::exists("/usr/bin/Xvfb")) {
            ::setenv("SDL_VIDEODRIVER", "dummy", 1);
            return;
        }
        for (int number = 90 + ::getpid() % 100;; ++number) {
            if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
                std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
                continue;
            }
            display_ = ":" + std::to_string(number);
            break;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl("/usr/bin/Xvfb", "Xvfb", display_.c_str(), "-screen", "0", "1024x768x24",
                    "-nolisten", "tcp", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const std::string socket = "/tmp/.X11-unix/X" + display_.substr(1);
        if (!WaitUntil([&socket] { return std::filesystem::exists(socket); }, kGenerousWait,
                       10ms)) {
            ADD_FAILURE() << "Xvfb " << display_ << " never opened " << socket;
        }
        ::setenv("DISPLAY", display_.c_str(), 1);
        ::unsetenv("SDL_VIDEODRIVER");
    }
    ~VirtualScreen() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }

private:
    std::string display_;
    pid_t pid_ = -1;
};

// The picture tests share this one suite: under AddressSanitizer they run
// without the leak check, as SDL's leaks under X cannot be suppressed by name.
class VideoPlaybackTest : public PlayerTest {
protected:
    static void SetUpTestSuite() { screen_ = new VirtualScreen(); }
    static void TearDownTestSuite() {
        delete screen_;
        screen_ = nullptr;
    }
    void SetUp() override {
        PlayerTest::SetUp();
        player_->SetDisableDisplay(false);
    }
    std::filesystem::path MakeClip(const std::string& name, double seconds) {
        const auto path = dir_ / name;
        RunFfmpeg("-f lavfi -i testsrc=size=320x240:rate=25:duration=" + std::to_string(seconds) +
                  " -f lavfi -i sine=frequency=440:duration=" + std::to_string(seconds) +
                  " -c:v libx264 -preset ultrafast -g 10 -pix_fmt yuv420p -c:a aac -shortest " +
                  ShellQuote(path.string()));
        return path;
    }

public:
    // Plays the file to its end and stops; the picture left on screen at
    // the end (null when none), or null when it did not open or end.
    FramePtr PlayToEnd(const std::filesystem::path& file) {
        events_.clear();
        if (!player_->Open(file.string(), 0, false)) {
            ADD_FAILURE() << player_->LastErrorText();
            return nullptr;
        }
        const bool ended = WaitForState(psEnd, 10s);
        EXPECT_TRUE(ended);
        FramePtr shown = player_->ShownPicture();
        player_->Stop(true);
        return ended ? std::move(shown) : nullptr;
    }

protected:
    static inline VirtualScreen* screen_ = nullptr;
};

}  // namespace tavrin::testing

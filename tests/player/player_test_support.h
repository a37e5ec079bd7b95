// Plays files with the real libraries and SDL's disk audio driver, which
// writes what the player sends to the device into a raw file: signed 16-bit
// samples in the device's format (the file's own channel count and rate).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "fixtures/media_fixtures.h"
#include "fixtures/serve_main_thread.h"
#include "media/player/custom_player.h"
#include "media/runtime/logger.h"
#include "media/runtime/main_thread.h"

namespace tavrin::testing {

struct TRecordedEvent {
    bool is_state;
    int64_t value;  // a TPlayState or a position in µs
};

// What the disk driver wrote, as 16-bit samples of `channels` channels.
struct TRawSound {
    std::vector<int16_t> samples;
    int channels = 1;
    int sample_rate = 44100;

    int64_t Frames() const { return static_cast<int64_t>(samples.size()) / channels; }
    int16_t At(int64_t frame, int channel = 0) const {
        return samples[static_cast<std::size_t>(frame * channels + channel)];
    }
    // Frames whose first channel is not silent, first to last.
    std::pair<int64_t, int64_t> AudibleRange() const {
        int64_t first = -1;
        int64_t last = -1;
        for (int64_t frame = 0; frame < Frames(); ++frame) {
            if (At(frame) != 0) {
                if (first < 0) {
                    first = frame;
                }
                last = frame;
            }
        }
        return {first, last};
    }
    // Seconds between the first and the last audible frame.
    double AudibleSeconds() const {
        const auto [first, last] = AudibleRange();
        return first < 0 ? 0.0 : static_cast<double>(last - first + 1) / sample_rate;
    }
    // The pitch of the first channel from its upward zero crossings over the
    // audible range, leaving out silent stretches.
    double Frequency() const {
        const auto [first, last] = AudibleRange();
        int64_t crossings = 0;
        int64_t audible_frames = 0;
        for (int64_t frame = first + 1; first >= 0 && frame <= last; ++frame) {
            if (At(frame) == 0 && At(frame - 1) == 0) {
                continue;  // silence
            }
            ++audible_frames;
            if (At(frame - 1) < 0 && At(frame) >= 0) {
                ++crossings;
            }
        }
        return audible_frames == 0
                   ? 0.0
                   : crossings / (static_cast<double>(audible_frames) / sample_rate);
    }
    // The longest run of silent frames inside the audible range, in seconds.
    double LongestInnerSilence() const {
        const auto [first, last] = AudibleRange();
        int64_t run = 0;
        int64_t longest = 0;
        for (int64_t frame = first; first >= 0 && frame <= last; ++frame) {
            run = At(frame) == 0 ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        return static_cast<double>(longest) / sample_rate;
    }
    int MaxAmplitude() const {
        int peak = 0;
        for (const int16_t sample : samples) {
            peak = std::max(peak, std::abs(static_cast<int>(sample)));
        }
        return peak;
    }
};

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitMainThread();
        logger_ = std::make_unique<TREVaduzi>();
        logger_->SetTriggerEventInMainThread(false);
        logger_->SetLogLevel(llInfo);
        logger_->SetOnLog([this](const void*, std::uint32_t, TLogLevel, const std::string& text) {
            const std::lock_guard lock(log_mutex_);
            log_.push_back(text);
            if (std::getenv("TAVRIN_TEST_LOG")) {
                std::fprintf(stderr, "log: %s\n", text.c_str());
            }
        });
        logger_->SetActive(true);
        ::setenv("SDL_AUDIODRIVER", "disk", 1);
        ::setenv("SDL_DISKAUDIOFILE", (dir_ / "sound.raw").c_str(), 1);
        player_ = std::make_unique<TDEDudevo>();
        ASSERT_TRUE(player_->LoadLibraries("", true)) << player_->LastErrorText();
        player_->SetDisableDisplay(true);
        player_->SetOnState([this](TCustomPlayer*, TPlayState state) {
            EXPECT_TRUE(IsMainThread());
            events_.push_back({true, state});
        });
        player_->SetOnPosition([this](TCustomPlayer*, int64_t position) {
            events_.push_back({false, position});
        });
    }
    void TearDown() override {
        player_.reset();
        logger_.reset();
        ::unsetenv("SDL_DISKAUDIOFILE");
        ShutdownMainThread();
    }

    // Waits (serving the main thread) until the state was delivered; false
    // after the time-out.
    bool WaitForState(TPlayState state, std::chrono::milliseconds timeout) {
        return ServeMainThreadUntil(
            [&] {
                return std::any_of(events_.begin(), events_.end(), [state](const auto& event) {
                    return event.is_state && event.value == state;
                });
            },
            timeout);
    }
    // Serves the main thread for a while.
    static void Serve(std::chrono::milliseconds duration) {
        const auto deadline = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < deadline) {
            WaitForMessages(std::chrono::milliseconds(5));
        }
    }
    // Serves until the current position reaches `position` µs.
    bool WaitForPosition(int64_t position, std::chrono::milliseconds timeout) {
        return ServeMainThreadUntil([&] { return player_->CurrentPosition() >= position; },
                                    timeout);
    }

    std::vector<int64_t> States() const {
        std::vector<int64_t> states;
        for (const TRecordedEvent& event : events_) {
            if (event.is_state) {
                states.push_back(event.value);
            }
        }
        return states;
    }
    std::vector<int64_t> Positions() const {
        std::vector<int64_t> positions;
        for (const TRecordedEvent& event : events_) {
            if (!event.is_state) {
                positions.push_back(event.value);
            }
        }
        return positions;
    }

    TRawSound ReadSound(int channels, int sample_rate) const {
        TRawSound sound;
        sound.channels = channels;
        sound.sample_rate = sample_rate;
        std::ifstream file(dir_ / "sound.raw", std::ios::binary);
        const auto bytes = std::filesystem::file_size(dir_ / "sound.raw");
        sound.samples.resize(bytes / 2);
        file.read(reinterpret_cast<char*>(sound.samples.data()),
                  static_cast<std::streamsize>(sound.samples.size() * 2));
        return sound;
    }

    bool Logged(const std::string& text) const {
        const std::lock_guard lock(log_mutex_);
        return std::find(log_.begin(), log_.end(), text) != log_.end();
    }

    TempDir dir_;
    mutable std::mutex log_mutex_;
    std::vector<std::string> log_;
    std::unique_ptr<TREVaduzi> logger_;
    std::unique_ptr<TDEDudevo> player_;
    std::vector<TRecordedEvent> events_;
};

}  // namespace tavrin::testing

// The pure parts of the player: the event ring, the position reports and the
// play range, the channel fallback, the audio sample correction and the
// subtitle palette in YUV.
#include <gtest/gtest.h>

#include <vector>

#include "media/player/event_queue.h"
#include "media/player/player_audio.h"
#include "media/player/player_subtitles.h"
#include "media/player/position_report.h"

namespace tavrin {
namespace {

std::vector<TPlayerEvent> Drain(TPlayerEventQueue& queue) {
    std::vector<TPlayerEvent> events;
    while (const auto event = queue.Take()) {
        events.push_back(*event);
    }
    return events;
}

TEST(PlayerEventQueue, CollapsesRepeatedKindsAndDropsTheOldestWhenFull) {
    TPlayerEventQueue queue;
    EXPECT_FALSE(queue.Take());

    // Many state changes in a row collapse into the last one.
    queue.Post(TPlayerEventKind::State, 1);
    queue.Post(TPlayerEventKind::State, 2);
    queue.Post(TPlayerEventKind::Position, 10);
    queue.Post(TPlayerEventKind::Position, 20);
    queue.Post(TPlayerEventKind::State, 5);
    auto events = Drain(queue);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].value, 2);
    EXPECT_EQ(events[1].value, 20);
    EXPECT_EQ(events[2].value, 5);
    EXPECT_FALSE(queue.WaitSignal(std::chrono::milliseconds(0)));  // emptied: reset

    // Alternating kinds fill the ten entries; the eleventh pushes out the first.
    for (int i = 0; i < 11; ++i) {
        queue.Post(i % 2 ? TPlayerEventKind::State : TPlayerEventKind::Position, i);
    }
    EXPECT_TRUE(queue.WaitSignal(std::chrono::milliseconds(0)));
    events = Drain(queue);
    ASSERT_EQ(events.size(), 10u);
    EXPECT_EQ(events.front().value, 1);
    EXPECT_EQ(events.back().value, 10);

    // Keys never collapse; clearing empties the ring.
    queue.Post(TPlayerEventKind::Key, 32);
    queue.Post(TPlayerEventKind::Key, 32);
    EXPECT_EQ(Drain(queue).size(), 2u);
    queue.Post(TPlayerEventKind::State, 1);
    queue.Clear();
    EXPECT_FALSE(queue.Take());
}

TEST(PositionReport, ReportsStepsOfMoreThan20msAndAlwaysTheEnd) {
    struct Case {
        double clock;
        int64_t start_time;
        int64_t stream_duration;
        int64_t last_reported;
        int64_t position;
        bool report;
    };
    const int64_t duration = 2000000;
    const Case cases[] = {
        {0.5, 0, -1, AV_NOPTS_VALUE, 500000, true},  // first report
        {0.515, 0, -1, 500000, 515000, false},       // 15 ms later: collapsed
        {0.5201, 0, -1, 500000, 520100, true},       // just over 20 ms
        {0.49, 0, -1, 520000, 490000, true},         // back after a seek
        {1.5, 1000000, -1, 470000, 500000, true},    // minus the start time
        {1.995, 0, -1, 1990000, 1995000, false},
        {2.5, 0, -1, 1990000, duration, true},        // the end is always reported
        {2.5, 0, -1, duration, duration, false},      // once
        {1.96, 0, 1950000, 1900000, duration, true},  // the sound ended: the file ended
    };
    for (const Case& test : cases) {
        const auto decision = DecidePosition(
            {test.clock, test.start_time, duration, test.stream_duration, test.last_reported});
        ASSERT_TRUE(decision) << test.clock;
        EXPECT_EQ(decision->position, test.position) << test.clock;
        EXPECT_EQ(decision->report, test.report) << test.clock;
        EXPECT_EQ(decision->last_reported, test.report ? test.position : test.last_reported);
    }
    EXPECT_FALSE(DecidePosition({NAN, 0, duration, -1, AV_NOPTS_VALUE}));
    // A clock still before the start reads as the start.
    EXPECT_EQ(DecidePosition({-0.03, 0, duration, -1, AV_NOPTS_VALUE})->position, 0);
    // Unknown duration: positions are what the clock says.
    EXPECT_EQ(DecidePosition({7.0, 0, -1, -1, AV_NOPTS_VALUE})->position, 7000000);

    EXPECT_FALSE(PlayRangeEnd(AV_NOPTS_VALUE, AV_NOPTS_VALUE));
    EXPECT_EQ(PlayRangeEnd(AV_NOPTS_VALUE, 3000000), 3000000);
    EXPECT_EQ(PlayRangeEnd(1000000, 3000000), 4000000);
}

TEST(PlayerAudio, ChannelFallbackEndsAfterMono) {
    std::vector<int> tried;
    for (int channels = 6; channels != 0; channels = NextChannelCountToTry(channels)) {
        tried.push_back(channels);
    }
    EXPECT_EQ(tried, (std::vector<int>{6, 4, 2, 1}));
    EXPECT_EQ(NextChannelCountToTry(8), 6);
    EXPECT_EQ(NextChannelCountToTry(3), 6);
    EXPECT_EQ(NextChannelCountToTry(5), 6);
    EXPECT_EQ(NextChannelCountToTry(7), 6);
}

TEST(PlayerAudio, SampleCorrectionAveragesFirstAndStaysWithinTenPercent) {
    TAudioSyncState state{0, 0.794, 0, 0.05};
    // The first 20 frames only build the average.
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(WantedSampleCount(state, 1000, 0.2, 44100), 1000);
    }
    EXPECT_EQ(WantedSampleCount(state, 1000, 0.2, 44100), 1100);  // +10 % at most
    EXPECT_EQ(WantedSampleCount(state, 1000, -0.2, 44100), 900);  // -10 % at most
    // A small difference whose average stays under the threshold: no change.
    TAudioSyncState quiet{0, 0.794, 20, 0.05};
    EXPECT_EQ(WantedSampleCount(quiet, 1000, 0.001, 44100), 1000);
    // 10 s or more apart: the average starts over, nothing is corrected.
    EXPECT_EQ(WantedSampleCount(state, 1000, 12.0, 44100), 1000);
    EXPECT_EQ(state.count, 0);
    EXPECT_EQ(state.cumulative, 0);
    EXPECT_EQ(WantedSampleCount(state, 1000, NAN, 44100), 1000);
}

TEST(SubtitlePaletteTest, ColoursBecomeVideoRangeYuvAndKeepTheirAlpha) {
    struct Case {
        uint32_t argb;
        uint32_t yuva;
    };
    const Case cases[] = {
        {0xffffffff, 0xffeb8080},  // white: luma 235
        {0x80000000, 0x80108080},  // half-transparent black: luma 16
        {0xffff0000, 0xff515af0},  // red
        {0x0000ff00, 0x00903622},  // transparent green (144.5 rounds down in 10 bits)
        {0xff0000ff, 0xff29f06e},  // blue
    };
    for (const Case& test : cases) {
        EXPECT_EQ(RgbaToYuva(test.argb), test.yuva) << std::hex << test.argb;
    }
}

}  // namespace
}  // namespace tavrin

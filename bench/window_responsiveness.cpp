// How responsive the main window stays while it merges: a 10 ms timer runs on
// the window's event loop during the whole merge, and the gaps between its
// ticks are what a user would feel as stalls. Prints the 99th percentile and
// the longest gap. Usage:
//   tavrin_window_responsiveness OUTPUT_FOLDER VIDEO AUDIO...
#include <QApplication>
#include <QDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "app/gui/main_window.h"
#include "app/gui/qt_dispatcher.h"
#include "media/runtime/main_thread.h"

using namespace tavrin;
using Clock = std::chrono::steady_clock;

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: tavrin_window_responsiveness OUTPUT_FOLDER VIDEO AUDIO...\n");
        return 2;
    }
    InitMainThread();
    InstallQtDispatcher();

    // Boxes are printed, not shown, and no file manager opens at the end.
    TWindowSeams seams = DesktopSeams();
    seams.ShowMessage = [](QWidget*, TMessageKind, const QString& title, const QString& text) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
    };
    seams.Desktop.openUrl = [](const QUrl&) {};

    std::vector<double> gaps_ms;
    // When each gap ended, seconds into the merge: where the long ones fall.
    std::vector<std::pair<double, double>> timed_gaps;
    int status = 0;
    {
        TfrmMain window(seams);
        QDir().mkpath(QString::fromLocal8Bit(argv[1]));
        window.Settings().SetOutputDir(argv[1]);
        window.Settings().SetOutputFormatIndex(6);  // MP4
        window.Settings().SetFrameSizeIndex(0);     // the video's own size
        window.Settings().SetUseVideoQuality(false);
        window.show();
        QApplication::processEvents();
        window.AddVideoFile(QString::fromLocal8Bit(argv[2]));
        QStringList songs;
        for (int i = 3; i < argc; ++i) {
            songs << QString::fromLocal8Bit(argv[i]);
        }
        window.AddAudioFiles(songs);

        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        Clock::time_point last = Clock::now();
        Clock::time_point start = last;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const Clock::time_point now = Clock::now();
            const double gap = std::chrono::duration<double, std::milli>(now - last).count();
            gaps_ms.push_back(gap);
            timed_gaps.emplace_back(gap, std::chrono::duration<double>(now - start).count());
            last = now;
        });
        start = Clock::now();
        ticker.start(10);
        last = start;
        window.MergeClicked();
        ticker.stop();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!window.LogText().contains(QStringLiteral("mergeing finished"))) {
            std::fprintf(stderr, "the merge did not finish:\n%s\n", qPrintable(window.LogText()));
            status = 1;
        }
        std::printf("merge: %.1f s, %zu ticks of a 10 ms timer\n", seconds, gaps_ms.size());
    }
    if (gaps_ms.empty()) {
        std::fprintf(stderr, "no tick arrived during the merge\n");
        return 1;
    }
    std::sort(gaps_ms.begin(), gaps_ms.end());
    const double p99 = gaps_ms[std::min(gaps_ms.size() - 1, gaps_ms.size() * 99 / 100)];
    const double longest = gaps_ms.back();
    std::printf(
        "gap between ticks: median %.1f ms, 99th percentile %.1f ms, max %.1f ms "
        "(goal <= 50 ms for both)\n",
        gaps_ms[gaps_ms.size() / 2], p99, longest);
    std::sort(timed_gaps.rbegin(), timed_gaps.rend());
    std::printf("longest gaps:");
    for (std::size_t i = 0; i < std::min<std::size_t>(5, timed_gaps.size()); ++i) {
        std::printf(" %.0f ms at %.1f s;", timed_gaps[i].first, timed_gaps[i].second);
    }
    std::printf("\n");
    SetMainThreadDispatcher(nullptr);
    ShutdownMainThread();
    return status;
}

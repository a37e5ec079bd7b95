// Renders the main window into PNG pictures for the documentation: idle with
// a video and three songs listed, and merging with its progress. Media and
// settings are made in a temporary home; run it under a display (the
// screenshot script starts Xvfb). Usage: tavrin_render_windows <folder>
#include <QApplication>
#include <QDir>
#include <QProgressBar>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>

#include "app/gui/main_window.h"
#include "fixtures/media_fixtures.h"
#include "window_seams_support.h"

using namespace tavrin;
using namespace tavrin::testing;

namespace {

bool Save(QWidget& window, const QString& file) {
    const bool saved = window.grab().save(file);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(file));
    return saved;
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QLatin1String(kApplicationTitle));
    if (argc != 2) {
        std::fprintf(stderr, "usage: tavrin_render_windows <folder>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    StartWindowRuntime();

    TempDir home;
    UseOwnHome(QPath(home.path()));
    const auto media = home.path() / "Videos";
    std::filesystem::create_directories(media);
    TempDir made;
    const bool ok = RunFfmpeg(
                        "-f lavfi -i testsrc=size=320x240:rate=25:duration=20 -c:v mpeg4 "
                        "-q:v 4 " +
                        ShellQuote((media / "holiday.mp4").string())) &&
                    !MakeTone(made, "beach-waves.mp3", 10, 330).empty() &&
                    !MakeTone(made, "evening-song.mp3", 10, 550).empty() &&
                    !MakeTone(made, "road-home.mp3", 10, 770).empty();
    if (!ok) {
        std::fprintf(stderr, "tavrin_render_windows: cannot make the media\n");
        return 1;
    }
    QStringList songs;
    for (const char* name : {"beach-waves.mp3", "evening-song.mp3", "road-home.mp3"}) {
        std::filesystem::copy_file(made / name, media / name);
        songs << QPath(media / name);
    }

    int status = 0;
    {
        auto desktop = std::make_shared<TFakeDesktop>();
        TfrmMain window(FakeSeams(desktop));
        std::filesystem::create_directories(home.path() / "Merged");
        window.Settings().SetOutputDir((home.path() / "Merged").string());
        window.Settings().SetOutputFormatIndex(6);
        window.show();
        QApplication::processEvents();
        window.AddVideoFile(QPath(media / "holiday.mp4"));
        window.AddAudioFiles(songs);
        auto* list = window.findChild<QTreeWidget*>(QStringLiteral("lvFiles"));
        list->setCurrentItem(list->topLevelItem(1));
        QApplication::processEvents();
        if (!Save(window, folder + QStringLiteral("/main_window_idle.png"))) {
            status = 1;
        }

        // Merging: pictured at the final task's first progress report (a
        // quiet machine merges the small clip in about a second).
        bool pictured = false;
        auto* bar = window.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
        QObject::connect(bar, &QProgressBar::valueChanged, &window, [&](int value) {
            if (!pictured && value > 0 && value < 100 &&
                window.LogText().contains(QStringLiteral("mergeing finished"))) {
                pictured = true;
                if (!Save(window, folder + QStringLiteral("/main_window_merging.png"))) {
                    status = 1;
                }
            }
        });
        window.MergeClicked();
        if (!pictured) {
            std::fprintf(stderr, "tavrin_render_windows: the merge ended before its picture\n");
            status = 1;
        }
    }
    StopWindowRuntime();
    return status;
}

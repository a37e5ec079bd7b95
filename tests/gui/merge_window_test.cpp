// Merging from the main window with the real libraries and small files made
// here: progress, the log, the written file and its songs in order; "Stop"
// and "Pause" during the final task; closing during a merge; and bad input,
// each ending idle with nothing left behind. The encoder runs its tasks on
// worker threads.
#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "app/gui/main_window.h"
#include "app/gui/preview_window.h"
#include "core/merge_test_support.h"
#include "window_seams_support.h"

using namespace tavrin;
using namespace tavrin::testing;
namespace fs = std::filesystem;

namespace {

constexpr int kMp4FormatIndex = 6;

// The size of the merge's output in a folder, -1 while there is none: the
// file under its hidden name while the final task writes it, else the file
// under its own name.
std::int64_t OutputSize(const fs::path& folder) {
    std::int64_t size = -1;
    for (const std::string& name : FolderEntries(folder)) {
        const bool partial = name.rfind(".tavrin-partial-", 0) == 0;
        if (partial || (size < 0 && name.rfind("merger-", 0) == 0)) {
            std::error_code error;
            const auto bytes = fs::file_size(folder / name, error);
            if (!error) {
                size = static_cast<std::int64_t>(bytes);
            }
            if (partial) {
                break;
            }
        }
    }
    return size;
}

bool HasTemporaryFile(const fs::path& folder) {
    for (const std::string& name : FolderEntries(folder)) {
        if (name.rfind("tempaudio-", 0) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

class MergeWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempDir> media_;
    std::unique_ptr<TempDir> home_;
    fs::path out_;
    std::shared_ptr<TFakeDesktop> desktop_;
    std::unique_ptr<TfrmMain> window_;

    QString Media(const char* name) const { return QPath(media_->path() / name); }
    QPushButton* Button(const char* name) const {
        return window_->findChild<QPushButton*>(QLatin1String(name));
    }
    QProgressBar* Bar() const {
        return window_->findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    }
    QString Status() const {
        return window_->findChild<QLabel*>(QStringLiteral("lblStatus"))->text();
    }

    void OpenWindow() {
        window_ = std::make_unique<TfrmMain>(FakeSeams(desktop_));
        QVERIFY(window_->Settings().SetOutputDir(out_.string()));
        QVERIFY(window_->Settings().SetOutputFormatIndex(kMp4FormatIndex));
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    void ListFiles(const char* video) {
        window_->AddVideoFile(Media(video));
        window_->AddAudioFiles({Media("song440.mp3"), Media("song880.mp3"), Media("song1320.mp3")});
        QVERIFY(Button("btnStart")->isEnabled());
    }

    // Runs "Merge" while `step` is called every few milliseconds from the
    // window's event loop (the merge's wait loops keep it running).
    void MergeWhile(const std::function<void()>& step) {
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, step);
        timer.start(5);
        window_->MergeClicked();
        timer.stop();
    }

    void CheckIdleAndClean() {
        QCOMPARE(window_->Mode(), TWindowMode::Idle);
        QVERIFY(!window_->Merging());
        QVERIFY(Button("btnStart")->isEnabled());
        QVERIFY(!Button("btnStop")->isEnabled());
        QVERIFY(!Button("btnPause")->isEnabled());
        QVERIFY(!HasTemporaryFile(out_));
    }

private slots:
    void initTestCase() {
        StartWindowRuntime();
        media_ = std::make_unique<TempDir>();
        MakeMergeMediaSet(*media_);
        // Larger pictures make the final task last long enough to stop it.
        MakeMergeVideo(*media_, "large.mp4", 25, "960x540");
        std::ofstream(media_->path() / "broken.mp3") << std::string(4000, '\x5a');
        for (const char* name : {"video.mp4", "large.mp4", "song440.mp3", "song880.mp3",
                                 "song1320.mp3", "notes.txt"}) {
            QVERIFY2(fs::exists(media_->path() / name), name);
        }
    }

    void cleanupTestCase() {
        window_.reset();
        StopWindowRuntime();
    }

    void init() {
        home_ = std::make_unique<TempDir>();
        UseOwnHome(QPath(home_->path()));
        out_ = home_->path() / "out";
        fs::create_directories(out_);
        desktop_ = std::make_shared<TFakeDesktop>();
        OpenWindow();
    }

    void cleanup() {
        desktop_->AnswerYes = true;
        window_.reset();
        home_.reset();
    }

    void mergeWritesTheVideoWithTheSongsInOrder() {
        ListFiles("video.mp4");
        QList<int> progress;
        QStringList statuses;
        connect(Bar(), &QProgressBar::valueChanged, this, [&](int value) {
            progress << value;
            statuses << Status();
        });
        // The audio preview's Stop while the merge runs (as a late stop of
        // the player) leaves the merge's buttons alone.
        bool previewStopped = false;
        MergeWhile([&] {
            if (!previewStopped && window_->Mode() == TWindowMode::Busy) {
                previewStopped = true;
                window_->PlayStopClicked();
                QVERIFY(!Button("btnStart")->isEnabled());
                QVERIFY(Button("btnStop")->isEnabled());
                QVERIFY(!Button("btnAddVideo")->isEnabled());
            }
        });
        QVERIFY(previewStopped);

        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last(), 100);
        QVERIFY(std::any_of(progress.begin(), progress.end(),
                            [](int value) { return value > 0 && value < 100; }));
        const QRegularExpression statusText(
            QStringLiteral("^Current Output Size: \\d+; Time: \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$"));
        QVERIFY2(statusText.match(statuses.last()).hasMatch(), qPrintable(statuses.last()));
        QVERIFY(statusText.match(Status()).hasMatch());
        QCOMPARE(window_->LogText().count(QStringLiteral("mergeing finished")), 2);
        QVERIFY(desktop_->Messages.empty());
        QCOMPARE(desktop_->OpenedFolders, QStringList{QPath(out_)});
        CheckIdleAndClean();

        const auto names = FolderEntries(out_);
        QCOMPARE(names.size(), std::size_t{1});
        const fs::path file = out_ / names[0];
        QVERIFY(names[0].rfind("merger-video-", 0) == 0);
        QCOMPARE(QString::fromStdString(StreamCodec(file, "v")).isEmpty(), false);
        QVERIFY(std::abs(StreamSeconds(file, "a") - 20) < 0.3);
        QVERIFY(std::abs(ToneAt(file, 5) - 440) < 15);
        QVERIFY(std::abs(ToneAt(file, 15) - 880) < 15);
        QVERIFY(std::abs(ToneAt(file, 19) - 880) < 15);
    }

    void stopDuringTheFinalTask() {
        ListFiles("large.mp4");
        bool stopped = false;
        MergeWhile([&] {
            if (!stopped && window_->Merging() && OutputSize(out_) > 0) {
                stopped = true;
                Button("btnStop")->click();
                QCOMPARE(window_->Mode(), TWindowMode::Idle);
            }
        });
        QVERIFY(stopped);
        CheckIdleAndClean();
        // The join task finished; the final task did not.
        QCOMPARE(window_->LogText().count(QStringLiteral("mergeing finished")), 1);
        QVERIFY(!window_->Encoder().Working());

        // The stop is spent: the next merge runs to its end.
        for (const std::string& name : FolderEntries(out_)) {
            fs::remove(out_ / name);
        }
        window_->AddVideoFile(Media("video.mp4"));
        window_->MergeClicked();
        QVERIFY(window_->LogText().contains(QStringLiteral("mergeing finished")));
        QVERIFY(OutputSize(out_) > 0);
        CheckIdleAndClean();
    }

    // "Preview" on: the final task's pictures show in a preview window while
    // it runs, and the merge still ends with its whole output.
    void previewShowsTheMergesPictures() {
        ListFiles("video.mp4");
        auto* preview = window_->findChild<QCheckBox*>(QStringLiteral("chkPreview"));
        QVERIFY(preview != nullptr);
        QVERIFY(!preview->isChecked());
        preview->click();
        QVERIFY(window_->Encoder().Preview());
        bool pictureSeen = false;
        MergeWhile([&] {
            for (QWidget* top : QApplication::topLevelWidgets()) {
                const auto* form = qobject_cast<TPreviewerForm*>(top);
                if (form != nullptr && form->isVisible() && !form->Picture().isNull()) {
                    pictureSeen = true;
                }
            }
        });
        preview->click();
        QVERIFY(!window_->Encoder().Preview());
        QVERIFY(pictureSeen);
        CheckIdleAndClean();
        QCOMPARE(window_->LogText().count(QStringLiteral("mergeing finished")), 2);
        QCOMPARE(FolderEntries(out_).size(), std::size_t{1});
    }

    void pauseHoldsTheOutputUntilResumed() {
        ListFiles("large.mp4");
        bool paused = false;
        std::int64_t sizeWhilePaused = -1;
        std::int64_t sizeLater = -1;
        MergeWhile([&] {
            if (paused || !window_->Merging() || OutputSize(out_) <= 0) {
                return;
            }
            paused = true;
            Button("btnPause")->click();
            QCOMPARE(Button("btnPause")->text(), QStringLiteral("Resume"));
            QCOMPARE(window_->Mode(), TWindowMode::Paused);
            QVERIFY(Button("btnStop")->isEnabled());
            // Held once the step under way has ended: the output has stopped
            // growing for a while.
            QDeadlineTimer limit(30000);
            QElapsedTimer unchanged;
            unchanged.start();
            for (std::int64_t size = OutputSize(out_); unchanged.elapsed() < 300;) {
                QVERIFY2(!limit.hasExpired(), "the output kept growing after Pause");
                QTest::qWait(20);
                if (const std::int64_t now = OutputSize(out_); now != size) {
                    size = now;
                    unchanged.restart();
                }
            }
            sizeWhilePaused = OutputSize(out_);
            // That nothing is written while held is the check: a look of a
            // second.
            QTest::qWait(1000);
            sizeLater = OutputSize(out_);
            Button("btnPause")->click();
            QCOMPARE(Button("btnPause")->text(), QStringLiteral("Pause"));
            QCOMPARE(window_->Mode(), TWindowMode::Busy);
        });
        QVERIFY(paused);
        QVERIFY(sizeWhilePaused > 0);
        QCOMPARE(sizeLater, sizeWhilePaused);
        QVERIFY(window_->LogText().contains(QStringLiteral("mergeing finished")));
        QVERIFY(OutputSize(out_) > sizeLater);
        CheckIdleAndClean();
    }

    void closingDuringAMergeAsksFirst() {
        // No: the merge goes on and its progress is still shown.
        ListFiles("video.mp4");
        desktop_->AnswerYes = false;
        bool asked = false;
        int progressAfterAnswer = 0;
        connect(Bar(), &QProgressBar::valueChanged, this,
                [&](int) { progressAfterAnswer += asked ? 1 : 0; });
        MergeWhile([&] {
            if (!asked && window_->Merging()) {
                asked = true;
                QVERIFY(!window_->close());
            }
        });
        QVERIFY(asked);
        QVERIFY(window_->isVisible());
        QVERIFY(progressAfterAnswer > 0);
        QCOMPARE(Bar()->value(), 100);
        QVERIFY(window_->LogText().contains(QStringLiteral("mergeing finished")));
        CheckIdleAndClean();

        // Yes: the merge stops and the window closes.
        for (const std::string& name : FolderEntries(out_)) {
            fs::remove(out_ / name);
        }
        window_->AddVideoFile(Media("large.mp4"));
        desktop_->AnswerYes = true;
        bool closed = false;
        MergeWhile([&] {
            if (!closed && window_->Merging() && OutputSize(out_) > 0) {
                closed = window_->close();
            }
        });
        QVERIFY(closed);
        QVERIFY(!window_->isVisible());
        QVERIFY(!window_->Merging());
        QVERIFY(!window_->Encoder().Working());
        QVERIFY(!HasTemporaryFile(out_));
        QVERIFY(desktop_->Messages.empty());
    }

    // Closing while the video still opens on the merge's worker (a named pipe
    // whose writer writes nothing): the window closes at once, the encoder is
    // let go of only once the open returns, and nothing is written.
    void closingWhileTheVideoOpens() {
        ListFiles("video.mp4");
        const fs::path pipe = home_->path() / "pipe.mp4";
        window_->findChild<QLineEdit*>(QStringLiteral("edtVideoFile"))->setText(QPath(pipe));
        bool closed = false;
        bool lentWhenClosed = false;
        bool eventsKeptWhileLent = false;
        {
            const TBlockedOpen blocked(pipe, [&] {
                lentWhenClosed = window_->Merging() && window_->Job().EncoderLent();
                closed = window_->close();
                eventsKeptWhileLent = static_cast<bool>(window_->Encoder().OnTerminate);
            });
            QVERIFY(blocked.Made());
            window_->MergeClicked();
        }
        QVERIFY(lentWhenClosed);
        QVERIFY(closed);
        QVERIFY(eventsKeptWhileLent);
        // The close's own calls on the encoder ran after the open.
        QVERIFY(!window_->Encoder().OnTerminate);
        QVERIFY(!window_->isVisible());
        QVERIFY(!window_->Merging());
        QVERIFY(!window_->Encoder().Working());
        QVERIFY(FolderEntries(out_).empty());
        QVERIFY(desktop_->Messages.empty());
    }

    void badInputEndsIdleWithNothingLeft() {
        struct Case {
            const char* what;
            const char* video;
            QStringList songs;
            const char* line;  // the failure line's start
        };
        const Case cases[] = {
            {"video not media", "notes.txt", {Media("song440.mp3")}, "***Video file open error: "},
            {"song not media",
             "video.mp4",
             {Media("broken.mp3"), Media("song880.mp3")},
             "***Audio file open error: "},
            {"video without picture", "song1320.mp3", {Media("song440.mp3")}, "***No video stream"},
        };
        for (const Case& c : cases) {
            desktop_->Messages.clear();
            window_->ClearClicked();
            window_->AddVideoFile(Media(c.video));
            window_->AddAudioFiles(c.songs);
            window_->SetIdleState();
            window_->MergeClicked();
            QVERIFY2(window_->LogText().contains(QLatin1String(c.line)), c.what);
            QVERIFY2(Status().startsWith(QLatin1String(c.line + 3)), c.what);
            // Said once, in a box.
            QVERIFY2(desktop_->Messages.size() == 1, c.what);
            QVERIFY2(desktop_->Messages[0].Text.startsWith(QLatin1String(c.line + 3)), c.what);
            QCOMPARE(desktop_->Messages[0].Title, QStringLiteral("Tavrin"));
            CheckIdleAndClean();
            QVERIFY2(FolderEntries(out_).empty(), c.what);
        }
    }

    void outputFolderGoneBeforeMerge() {
        ListFiles("video.mp4");
        // Removed: made again, and the merge writes into it.
        fs::remove_all(out_);
        window_->MergeClicked();
        QVERIFY(OutputSize(out_) > 0);
        CheckIdleAndClean();

        // Cannot be made (a file stands in its way): a warning, a line that
        // says why, the default folder shown, nothing written.
        fs::remove_all(out_);
        std::ofstream(out_) << "in the way\n";
        desktop_->Messages.clear();
        window_->MergeClicked();
        QVERIFY(!desktop_->Messages.empty());
        QCOMPARE(desktop_->Messages[0].Title, QStringLiteral("Warning"));
        QVERIFY(desktop_->Messages[0].Text.contains(QPath(out_)));
        QVERIFY(window_->LogText().contains(QStringLiteral("***Cannot do convert, error: ")));
        QCOMPARE(window_->OutputFolderBox()->text(), QPath(home_->path() / "tavrin"));
        QCOMPARE(window_->Mode(), TWindowMode::Idle);
        QVERIFY(fs::is_regular_file(out_));
        QVERIFY(FolderEntries(home_->path() / "tavrin").empty());
    }

    void fullDisk() {
        // A small file system of its own; only where this user may mount one.
        const fs::path small = home_->path() / "small";
        fs::create_directories(small);
        if (RunCommand("mount -t tmpfs -o size=160k tmpfs " + ShellQuote(small.string()) +
                       " 2>/dev/null") != 0) {
            QSKIP("cannot mount a small file system here");
        }
        struct Unmount {
            fs::path folder;
            ~Unmount() { RunCommand("umount " + ShellQuote(folder.string())); }
        } unmount{small};
        QVERIFY(window_->Settings().SetOutputDir(small.string()));
        window_->ShowOutputFolder(QPath(small));
        ListFiles("video.mp4");
        window_->MergeClicked();
        QVERIFY(!desktop_->Messages.empty());
        QCOMPARE(window_->Mode(), TWindowMode::Idle);
        QVERIFY(!window_->Merging());
        QVERIFY2(FolderEntries(small).empty(), qPrintable(window_->LogText()));
    }
};

QTEST_MAIN(MergeWindowTest)
#include "merge_window_test.moc"

// The audio preview in the main window with the real player, SDL's disk
// audio driver and no display: which buttons "Play", "Pause", "Stop" and the
// player's states switch, the probes' log lines, and the playing position in
// the status label. The player runs its own threads.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/gui/main_window.h"
#include "fixtures/media_fixtures.h"
#include "window_seams_support.h"

using namespace tavrin;
using namespace tavrin::testing;

class PreviewWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempDir> dir_;
    std::shared_ptr<TFakeDesktop> desktop_;
    std::unique_ptr<TfrmMain> window_;
    QStringList tones_;

    QPushButton* Button(const char* name) const {
        return window_->findChild<QPushButton*>(QLatin1String(name));
    }
    QTreeWidget* List() const {
        return window_->findChild<QTreeWidget*>(QStringLiteral("lvFiles"));
    }
    QString Status() const {
        return window_->findChild<QLabel*>(QStringLiteral("lblStatus"))->text();
    }
    bool Enabled(const char* name) const { return Button(name)->isEnabled(); }

private slots:
    void initTestCase() {
        StartWindowRuntime();
        dir_ = std::make_unique<TempDir>();
        UseOwnHome(QPath(dir_->path() / "home"));
        ::setenv("SDL_AUDIODRIVER", "disk", 1);
        ::setenv("SDL_DISKAUDIOFILE", (dir_->path() / "sound.raw").c_str(), 1);
        for (int i = 0; i < 3; ++i) {
            const auto tone =
                MakeTone(*dir_, "tone" + std::to_string(i) + ".wav", 1.5, 300 + 200 * i);
            QVERIFY(std::filesystem::exists(tone));
            tones_ << QPath(tone);
        }
    }

    void cleanupTestCase() {
        window_.reset();
        ::unsetenv("SDL_DISKAUDIOFILE");
        StopWindowRuntime();
    }

    void init() {
        desktop_ = std::make_shared<TFakeDesktop>();
        window_ = std::make_unique<TfrmMain>(FakeSeams(desktop_));
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    void cleanup() { window_.reset(); }

    void emptyListPlaysNothing() {
        const QString log = window_->LogText();
        window_->PlayClicked();
        QCOMPARE(window_->LogText(), log);
        QVERIFY(!window_->Preview().Playing());
    }

    void playPauseStopAndTheButtons() {
        window_->AddAudioFiles(tones_);
        List()->setCurrentItem(List()->topLevelItem(1));
        const qsizetype logBefore = window_->LogText().size();
        Button("btnPlay")->click();

        // Every row probed in order, then the selected one plays.
        const QString probes = window_->LogText().mid(logBefore);
        const qsizetype first = probes.indexOf(tones_[0]);
        const qsizetype second = probes.indexOf(tones_[1]);
        const qsizetype third = probes.indexOf(tones_[2]);
        QVERIFY(first >= 0 && first < second && second < third);
        for (const char* name :
             {"btnAddVideo", "btnAddAudio", "btnStart", "btnStop", "btnPause", "btnClear"}) {
            QVERIFY2(!Enabled(name), name);
        }
        QVERIFY(List()->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(Enabled("btnPlayStop") && Enabled("btnPlayPause"), 5000);
        QVERIFY(window_->Preview().Playing());
        QTRY_VERIFY_WITH_TIMEOUT(Status().startsWith(QStringLiteral("00:00:0")), 5000);

        Button("btnPlayPause")->click();
        QCOMPARE(Button("btnPlayPause")->text(), QStringLiteral("Resume"));
        Button("btnPlayPause")->click();
        QCOMPARE(Button("btnPlayPause")->text(), QStringLiteral("Pause"));

        Button("btnPlayStop")->click();
        QVERIFY(Enabled("btnAddAudio"));
        QTRY_VERIFY_WITH_TIMEOUT(!Enabled("btnPlayStop") && !Enabled("btnPlayPause"), 5000);
        for (const char* name : {"btnAddVideo", "btnStart", "btnClear"}) {
            QVERIFY2(Enabled(name), name);
        }
    }

    // "Play" with no row selected plays the first song; a selected row plays
    // that row.
    void playTakesTheSelectedRowOrElseTheFirst() {
        window_->AddAudioFiles(tones_);
        struct Case {
            int selected;  // -1: none
            int played;
        };
        for (const Case c : {Case{-1, 0}, Case{2, 2}, Case{-1, 0}}) {
            List()->clearSelection();
            List()->setCurrentItem(nullptr);
            if (c.selected >= 0) {
                List()->setCurrentItem(List()->topLevelItem(c.selected));
            }
            Button("btnPlay")->click();
            QTRY_VERIFY_WITH_TIMEOUT(window_->Preview().Playing(), 5000);
            QCOMPARE(QString::fromStdString(window_->Preview().PlayingFile()), tones_[c.played]);
            Button("btnPlayStop")->click();
            QTRY_VERIFY_WITH_TIMEOUT(!window_->Preview().Playing(), 5000);
        }
    }

    void theEndOfTheSongFreesTheWindow() {
        window_->AddAudioFiles({tones_[0]});
        // A double click on a row plays it too.
        List()->setCurrentItem(List()->topLevelItem(0));
        emit List()->itemDoubleClicked(List()->topLevelItem(0), 0);
        QTRY_VERIFY_WITH_TIMEOUT(Enabled("btnPlayStop"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!Enabled("btnPlayStop"), 10000);
        for (const char* name : {"btnAddVideo", "btnStart", "btnClear"}) {
            QVERIFY2(Enabled(name), name);
        }
        QVERIFY(!Enabled("btnPlayPause"));
        QVERIFY(List()->isEnabled());
    }

    void anUnreadableRowStopsThePlay() {
        const auto broken = dir_->path() / "broken.wav";
        std::ofstream(broken) << "not a song";
        window_->AddAudioFiles({tones_[0], tones_[1], QPath(broken)});
        window_->PlayClicked();
        const QString line = QStringLiteral("failed to load ") + QPath(broken);
        QVERIFY(window_->LogText().contains(line));
        QCOMPARE(Status(), line);
        QVERIFY(!window_->Preview().Playing());
    }
};

QTEST_MAIN(PreviewWindowTest)
#include "preview_window_test.moc"

// The main window without merging: its controls after start, adding the video
// and the audio files through the (replaced) open dialog, ordering and
// clearing the list, the idle, busy and paused states, dropped files, the
// choices kept across a restart, and closing.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/core/settings.h"
#include "app/gui/file_filters.h"
#include "app/gui/file_list_delegate.h"
#include "app/gui/main_window.h"
#include "core/merge_test_support.h"
#include "window_seams_support.h"

using namespace tavrin;
using namespace tavrin::testing;
namespace fs = std::filesystem;

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TempDir> media_;
    std::unique_ptr<TempDir> home_;
    std::shared_ptr<TFakeDesktop> desktop_;
    std::unique_ptr<TfrmMain> window_;

    QString Media(const char* name) const { return QPath(media_->path() / name); }

    template <typename T = QWidget>
    T* Control(const char* name) const {
        T* control = window_->findChild<T*>(QLatin1String(name));
        if (control == nullptr) {
            qFatal("no control %s", name);
        }
        return control;
    }
    QPushButton* Button(const char* name) const { return Control<QPushButton>(name); }
    QTreeWidget* List() const { return Control<QTreeWidget>("lvFiles"); }
    QString Status() const { return Control<QLabel>("lblStatus")->text(); }

    void OpenWindow() {
        window_ = std::make_unique<TfrmMain>(FakeSeams(desktop_));
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    QStringList Rows() const {
        QStringList rows;
        for (int i = 0; i < List()->topLevelItemCount(); ++i) {
            rows << List()->topLevelItem(i)->text(0) + QLatin1Char('|') +
                        List()->topLevelItem(i)->text(1);
        }
        return rows;
    }

    void ListThreeSongs() {
        window_->AddAudioFiles({Media("song440.mp3"), Media("song880.mp3"), Media("short.mp3")});
        QCOMPARE(List()->topLevelItemCount(), 3);
    }

    void Select(int row) { List()->setCurrentItem(List()->topLevelItem(row)); }

private slots:
    void initTestCase() {
        StartWindowRuntime();
        media_ = std::make_unique<TempDir>();
        MakeMergeMediaSet(*media_);
        const std::string dir = ShellQuote(media_->path().string());
        // A video without sound, and a song whose container keeps no duration.
        QVERIFY(RunFfmpeg("-f lavfi -i testsrc=size=160x120:rate=15:duration=2 -c:v mpeg4 " +
                          ShellQuote((media_->path() / "silent.mp4").string())));
        QCOMPARE(RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=300:duration=2 "
                            "-c:a libopus -f matroska pipe:1 > " +
                            ShellQuote((media_->path() / "noduration.mka").string())),
                 0);
        for (const char* name : {"video.mp4", "song440.mp3", "song880.mp3", "short.mp3",
                                 "silent.mp4", "noduration.mka", "notes.txt"}) {
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
        desktop_ = std::make_shared<TFakeDesktop>();
        OpenWindow();
    }

    void cleanup() {
        desktop_->AnswerYes = true;
        window_.reset();
        home_.reset();
    }

    void controlsAfterStart() {
        struct Expected {
            const char* name;
            const char* caption;
            bool enabled;
        };
        const Expected buttons[] = {
            {"btnStart", "Merge", false},
            {"btnStop", "Stop", false},
            {"btnPause", "Pause", false},
            {"btnExit", "Exit", true},
            {"btn_output", "...", true},
            {"btn_open", "Open", true},
            {"btnAddVideo", "Add Video", true},
            {"btnAddAudio", "Add Audio", true},
            {"btnUp", "Up", false},
            {"btnDown", "Down", false},
            {"btnClear", "Clear", false},
            {"btnPlay", "Play", false},
            {"btnPlayStop", "Stop", false},
            {"btnPlayPause", "Pause", false},
        };
        for (const Expected& expected : buttons) {
            QPushButton* button = Button(expected.name);
            QCOMPARE(button->text(), QLatin1String(expected.caption));
            QVERIFY2(button->isEnabled() == expected.enabled, expected.name);
        }
        QVERIFY(Button("btnStart")->font().bold());
        const Expected labels[] = {
            {"lbl2", "Output Folder:", true},
            {"lbl1", "Output Video Size:", true},
            {"Label1", "Output Video Format:", true},
            {"Label2", "Duration:", true},
            {"lblDuration", "00:00:00:", true},
            {"lblStatus", "00:00:00", true},
            {"lblShare", "Share:", true},
        };
        for (const Expected& expected : labels) {
            QCOMPARE(Control<QLabel>(expected.name)->text(), QLatin1String(expected.caption));
        }
        QCOMPARE(Control<QCheckBox>("chkVideoQuality")->text(), QStringLiteral(" Video Quality"));
        QCOMPARE(Control<QGroupBox>("grpAddVideo")->title(), QStringLiteral("Adding Video Files"));
        QCOMPARE(Control<QGroupBox>("grpAudio")->title(), QStringLiteral("Adding Audio Files"));
        QVERIFY(!Control<QLineEdit>("edtVideoFile")->isEnabled());
        QVERIFY(!Control<QLineEdit>("edDirectory")->isEnabled());
        QCOMPARE(Control<QProgressBar>("ProgressBar1")->value(), 0);
        QCOMPARE(Control<QProgressBar>("ProgressBar1")->maximum(), 100);
        QVERIFY(!Control<QPlainTextEdit>("mmoLog")->isVisible());
        QCOMPARE(Control<QWidget>("Panel1")->size(), QSize(100, 28));
        QCOMPARE(List()->headerItem()->text(0), QStringLiteral("Audio Files"));
        QCOMPARE(List()->headerItem()->text(1), QStringLiteral("Duration"));
        QCOMPARE(List()->columnWidth(0), 550);
        QVERIFY(List()->columnWidth(1) >= 80);
        QVERIFY(List()->columnWidth(1) >
                List()->fontMetrics().horizontalAdvance(QStringLiteral("00:00:00.000")));
        QCOMPARE(window_->centralWidget()->size(), QSize(702, 488));
        QCOMPARE(window_->centralWidget()->minimumSize(), QSize(669, 468));

        // Shown: the caption names the product and the settings are restored
        // (first start: the fallback folder under the home folder).
        QCOMPARE(window_->windowTitle(), QStringLiteral("Tavrin Free  ver 1.000 "));
        QCOMPARE(Control<QLineEdit>("edDirectory")->text(), QPath(home_->path() / "tavrinfree"));
        QVERIFY(fs::is_directory(home_->path() / "tavrinfree"));
        QCOMPARE(Control<QComboBox>("cboVideoFormat")->count(),
                 17);  // the 16 presets and "Original"
        QCOMPARE(Control<QComboBox>("cboVideoFormat")->currentText(), QStringLiteral("3GP"));
        QCOMPARE(Control<QComboBox>("cboFrameSize")->count(), 4);
        QCOMPARE(Control<QComboBox>("cmbVideoQuality")->count(), 11);
        QVERIFY(Control<QCheckBox>("chkVideoQuality")->isChecked());
        QVERIFY(Control<QComboBox>("cmbVideoQuality")->isEnabled());
    }

    void followsTheWindowSize() {
        const QSize list = List()->size();
        const QSize status = Control<QLabel>("lblStatus")->size();
        const QSize bar = Control<QProgressBar>("ProgressBar1")->size();
        window_->resize(window_->width() + 200, window_->height() + 150);
        QTRY_VERIFY(List()->width() > list.width() && List()->height() > list.height());
        QVERIFY(Control<QLabel>("lblStatus")->width() > status.width());
        QVERIFY(Control<QProgressBar>("ProgressBar1")->width() > bar.width());
        window_->resize(100, 100);
        QTRY_VERIFY(window_->centralWidget()->width() >= 669);
        QVERIFY(window_->centralWidget()->height() >= 468);
    }

    void addVideo() {
        desktop_->NextFiles = {Media("video.mp4")};
        window_->AddVideoClicked();
        QCOMPARE(desktop_->LastMultiple, false);
        QCOMPARE(desktop_->LastNameFilters.size(), 1);
        QVERIFY(desktop_->LastNameFilters[0].startsWith(QStringLiteral("Video Files (")));
        QCOMPARE(Control<QLineEdit>("edtVideoFile")->text(), Media("video.mp4"));
        QCOMPARE(Control<QLabel>("lblDuration")->text(), QStringLiteral("00:00:20.000"));
        QCOMPARE(window_->LastOpenedFile(), Media("video.mp4"));

        // A file that is not media: its name stays, a line says why.
        desktop_->NextFiles = {Media("notes.txt")};
        window_->AddVideoClicked();
        QCOMPARE(Control<QLineEdit>("edtVideoFile")->text(), Media("notes.txt"));
        QVERIFY(window_->LogText().contains(QStringLiteral("***File load error: ") +
                                            Media("notes.txt")));
        QVERIFY(Status().startsWith(QStringLiteral("File load error: ")));
        QCOMPARE(window_->LastOpenedFile(), Media("video.mp4"));

        // Cancelled: nothing changes.
        desktop_->NextFiles.clear();
        window_->AddVideoClicked();
        QCOMPARE(Control<QLineEdit>("edtVideoFile")->text(), Media("notes.txt"));
    }

    void dialogFiltersMatchAnyLetterCase() {
        desktop_->NextFiles.clear();
        window_->AddAudioClicked();
        QCOMPARE(desktop_->LastMultiple, true);
        const QStringList audio = desktop_->LastNameFilters;
        QCOMPARE(audio.size(), 2);
        QVERIFY(audio[0].startsWith(QStringLiteral("All Supported Audio Formats (")));
        QVERIFY(audio[1].startsWith(QStringLiteral("All Supported Video Formats (")));
        for (const char* name : {"song.mp3", "SONG.MP3", "Song.Flac", "clip.mkv", "take.M4A"}) {
            QVERIFY2(MatchesNameFilters(QLatin1String(name), audio), name);
        }
        for (const char* name : {"notes.txt", "song.mp3.part", "mp3"}) {
            QVERIFY2(!MatchesNameFilters(QLatin1String(name), audio), name);
        }
        const QStringList video = DialogNameFilters(kVideoFileFilter);
        QVERIFY(MatchesNameFilters(QStringLiteral("holiday.Mp4"), video));
        QVERIFY(!MatchesNameFilters(QStringLiteral("song.mp3"), video));
    }

    void addAudioThreeFilesFirstWithoutSound() {
        desktop_->NextFiles = {Media("silent.mp4"), Media("song440.mp3"), Media("song880.mp3")};
        window_->AddAudioClicked();
        QCOMPARE(List()->topLevelItemCount(), 3);
        QCOMPARE(List()->topLevelItem(0)->text(0), Media("silent.mp4"));
        QVERIFY(List()->topLevelItem(2)->text(1).startsWith(QStringLiteral("00:00:10.0")));
        QVERIFY(!Button("btnStart")->isEnabled());
        QVERIFY(!Button("btnClear")->isEnabled());
        const QString log = window_->LogText();
        QVERIFY(log.contains(QStringLiteral("***VEVarazez.FileInfoText\n")));
        QVERIFY(log.contains(QStringLiteral("\nStream #0: Video\n")));
        QVERIFY(log.contains(QStringLiteral("\n  Frame size (width X height): 160x120")));
        QVERIFY(!log.contains(QStringLiteral("Stream #1")));
        // The information heading is not a failure.
        QCOMPARE(Status(), QStringLiteral("00:00:00"));
        QCOMPARE(window_->windowTitle(), QStringLiteral("Tavrin Free  ver 1.000 "));
    }

    void addAudioWithSoundEnablesMerge() {
        window_->AddAudioFiles({Media("song440.mp3")});
        QCOMPARE(List()->topLevelItemCount(), 1);
        QVERIFY(Rows()[0].startsWith(Media("song440.mp3") + QStringLiteral("|00:00:10.0")));
        for (const char* name : {"btnStart", "btnAddAudio", "btnUp", "btnDown", "btnPlay",
                                 "btnPlayStop", "btnPlayPause", "btnClear"}) {
            QVERIFY2(Button(name)->isEnabled(), name);
        }
        QCOMPARE(window_->windowTitle(),
                 QStringLiteral("Tavrin Free  ver 1.000  ") + Media("song440.mp3"));
        const QString log = window_->LogText();
        for (const char* line :
             {"\nFile Duration: 00:00:10.0", "\nStream #0: Audio\n", "\n  Audio Length: 00:00:10.0",
              "\n  Audio Sample Rate: 44100 hz\n", "\n  Audio Bit Rate: 64 kb", "\nFile Size: "}) {
            QVERIFY2(log.contains(QLatin1String(line)), line);
        }
    }

    void addAudioWithoutDuration() {
        window_->AddAudioFiles({Media("noduration.mka")});
        QCOMPARE(List()->topLevelItem(0)->text(1), QStringLiteral("00:00:00.000"));
        QVERIFY(window_->LogText().contains(QStringLiteral("\nFile Duration is not preseted\n")));
    }

    void addAudioNotMediaIsListedAndExplained() {
        window_->AddAudioFiles({Media("notes.txt"), Media("song440.mp3")});
        QCOMPARE(List()->topLevelItemCount(), 2);
        QCOMPARE(List()->topLevelItem(0)->text(1), QStringLiteral("00:00:00.000"));
        QVERIFY(window_->LogText().contains(QStringLiteral("\n***File load error: ")));
        QVERIFY(Status().startsWith(QStringLiteral("File load error: ")));
        QVERIFY(!Button("btnStart")->isEnabled());
    }

    void upDownAndClear() {
        ListThreeSongs();
        const QStringList start = Rows();
        struct Case {
            const char* what;
            int selected;  // -1: none
            bool up;
            QList<int> order;  // rows of `start` after the move
            int selectedAfter;
        };
        const Case cases[] = {
            {"second up", 1, true, {1, 0, 2}, 0},
            {"first up", 0, true, {0, 1, 2}, 0},
            {"second down", 1, false, {0, 2, 1}, 2},
            {"last down", 2, false, {0, 1, 2}, 2},
            {"no selection up", -1, true, {0, 1, 2}, -1},
            {"no selection down", -1, false, {0, 1, 2}, -1},
        };
        for (const Case& c : cases) {
            List()->clear();
            for (const QString& row : start) {
                new QTreeWidgetItem(List(), row.split(QLatin1Char('|')));
            }
            if (c.selected >= 0) {
                Select(c.selected);
            } else {
                List()->setCurrentItem(nullptr);
                List()->clearSelection();
            }
            c.up ? window_->UpClicked() : window_->DownClicked();
            QStringList expected;
            for (const int i : c.order) {
                expected << start[i];
            }
            QVERIFY2(Rows() == expected, c.what);
            const QList<QTreeWidgetItem*> selected = List()->selectedItems();
            if (c.selectedAfter < 0) {
                QVERIFY2(selected.isEmpty(), c.what);
            } else {
                QVERIFY2(selected.size() == 1 &&
                             List()->indexOfTopLevelItem(selected[0]) == c.selectedAfter,
                         c.what);
            }
        }

        // A single row moves nowhere.
        List()->clear();
        new QTreeWidgetItem(List(), start[0].split(QLatin1Char('|')));
        Select(0);
        window_->DownClicked();
        window_->UpClicked();
        QCOMPARE(Rows(), QStringList{start[0]});

        window_->ClearClicked();
        QCOMPARE(List()->topLevelItemCount(), 0);
        for (const char* name : {"btnStart", "btnStop", "btnPause", "btnUp", "btnDown", "btnPlay",
                                 "btnPlayStop", "btnPlayPause", "btnClear"}) {
            QVERIFY2(!Button(name)->isEnabled(), name);
        }
        QVERIFY(Button("btnAddAudio")->isEnabled());
    }

    void busyPausedAndIdle() {
        ListThreeSongs();
        const char* const merging[] = {"btnStop", "btnPause"};
        const char* const others[] = {"btnStart",    "btn_output",  "btnExit",     "btnAddVideo",
                                      "btnAddAudio", "btnUp",       "btnDown",     "btnClear",
                                      "btnPlay",     "btnPlayStop", "btnPlayPause"};
        // The merge choices too: a merge reads them once, as it starts.
        const char* const lists[] = {"cboVideoFormat",  "cboFrameSize", "cmbVideoQuality",
                                     "chkVideoQuality", "spnFadeOut",   "chkRepeatSongs",
                                     "spnVideoSound"};
        const auto check = [&](bool busy, bool listEnabled) {
            for (const char* name : merging) {
                QVERIFY2(Button(name)->isEnabled() == busy, name);
            }
            for (const char* name : others) {
                QVERIFY2(Button(name)->isEnabled() != busy, name);
            }
            for (const char* name : lists) {
                QVERIFY2(Control(name)->isEnabled() != busy, name);
            }
            QCOMPARE(List()->isEnabled(), listEnabled);
            QVERIFY(Button("btn_open")->isEnabled());
            // The preview switch works while the merge runs.
            QVERIFY(Control("chkPreview")->isEnabled());
        };
        window_->SetBusyState();
        check(true, false);
        QCOMPARE(window_->Mode(), TWindowMode::Busy);
        // Pausing leaves the list as it is, whichever state it is in.
        window_->SetPausedState();
        check(true, false);
        List()->setEnabled(true);
        window_->SetPausedState();
        check(true, true);

        // Idle again: every choice is usable, the quality list even with its
        // box unticked, and the output folder is shown once.
        Control<QCheckBox>("chkVideoQuality")->setChecked(false);
        window_->SetIdleState();
        check(false, true);
        QCOMPARE(desktop_->OpenedFolders, QStringList{Control<QLineEdit>("edDirectory")->text()});
        window_->SetIdleState();
        QCOMPARE(desktop_->OpenedFolders.size(), 1);
        // With no merge running, "Stop" and "Pause" change nothing.
        window_->StopClicked();
        window_->PauseClicked();
        QCOMPARE(Button("btnPause")->text(), QStringLiteral("Pause"));
        QCOMPARE(window_->Mode(), TWindowMode::Idle);
    }

    void rowColours() {
        struct Case {
            int row;
            bool selected;
            bool focused;
            QColor fill;
            QColor frame;  // invalid: none
        };
        const Case cases[] = {
            {0, false, false, QColor(Qt::white), QColor()},
            {1, false, true, QColor(226, 230, 246), QColor()},
            {2, false, false, QColor(Qt::white), QColor()},
            {3, true, true, QColor(185, 204, 236), QColor(122, 160, 218)},
            {4, true, false, QColor(229, 236, 248), QColor(152, 181, 226)},
        };
        for (const Case& c : cases) {
            const TRowColours colours = RowColoursFor(c.row, c.selected, c.focused);
            QCOMPARE(colours.Fill, c.fill);
            QCOMPARE(colours.Frame.has_value(), c.frame.isValid());
            if (c.frame.isValid()) {
                QCOMPARE(*colours.Frame, c.frame);
            }
        }
        // Drawn: the second row's background and the selected row's frame.
        ListThreeSongs();
        Select(2);
        List()->setFocus();
        QTRY_VERIFY(List()->hasFocus());
        const QImage picture = List()->viewport()->grab().toImage();
        const QRect second = List()->visualItemRect(List()->topLevelItem(1));
        const QRect third = List()->visualItemRect(List()->topLevelItem(2));
        const qreal ratio = picture.devicePixelRatio();
        const auto pixel = [&](int x, int y) {
            return QColor(picture.pixel(int(x * ratio), int(y * ratio)));
        };
        QCOMPARE(pixel(second.left() + 500, second.center().y() - 4), QColor(226, 230, 246));
        QCOMPARE(pixel(third.left() + 500, third.top()), QColor(122, 160, 218));
        QCOMPARE(pixel(third.left() + 1, third.center().y()), QColor(122, 160, 218));
    }

    void droppedFiles() {
        window_->DropFiles({Media("song440.mp3"), Media("video.mp4"), Media("song880.mp3")});
        QCOMPARE(Control<QLineEdit>("edtVideoFile")->text(), Media("video.mp4"));
        QCOMPARE(Control<QLabel>("lblDuration")->text(), QStringLiteral("00:00:20.000"));
        QCOMPARE(List()->topLevelItemCount(), 2);
        QCOMPARE(List()->topLevelItem(0)->text(0), Media("song440.mp3"));
        QVERIFY(Button("btnStart")->isEnabled());
        // A stopped merge's buttons stay off while nothing runs.
        QVERIFY(!Button("btnStop")->isEnabled());
        QVERIFY(!Button("btnPause")->isEnabled());
        QVERIFY(window_->windowTitle().startsWith(QStringLiteral("Tavrin Free  ver 1.000  ")));

        // Only the first video goes to the box; later ones can serve as sound.
        window_->ClearClicked();
        window_->DropFiles({Media("video.mp4"), Media("silent.mp4")});
        QCOMPARE(Control<QLineEdit>("edtVideoFile")->text(), Media("video.mp4"));
        QCOMPARE(window_->windowTitle(),
                 QStringLiteral("Tavrin Free  Ver 1.000  ") + Media("video.mp4"));
        QCOMPARE(Rows(), QStringList{Media("silent.mp4") + QStringLiteral("|00:00:02.000")});

        // A song's cover art is a still picture: the song goes to the list
        // even when it comes before the video.
        window_->ClearClicked();
        const fs::path covered =
            MakeSongWithCover(*media_, "covered.mp3", media_->path() / "song440.mp3");
        window_->DropFiles({QPath(covered), Media("video.mp4")});
        QCOMPARE(Control<QLineEdit>("edtVideoFile")->text(), Media("video.mp4"));
        QCOMPARE(List()->topLevelItemCount(), 1);
        QCOMPARE(List()->topLevelItem(0)->text(0), QPath(covered));
    }

    void droppedBadInput() {
        // A folder and a file that is not media: each said, neither listed.
        window_->DropFiles({QPath(media_->path()), Media("notes.txt")});
        QCOMPARE(List()->topLevelItemCount(), 0);
        QVERIFY(Control<QLineEdit>("edtVideoFile")->text().isEmpty());
        const QString log = window_->LogText();
        QVERIFY(log.contains(QStringLiteral("***A folder cannot be added, only files: ") +
                             QPath(media_->path())));
        QVERIFY(log.contains(QStringLiteral("***File load error: ") + Media("notes.txt")));
        QVERIFY(Status().startsWith(QStringLiteral("File load error: ")));
        QCOMPARE(window_->Mode(), TWindowMode::Idle);

        // A hundred files at once: all listed, in order, the window idle.
        QStringList many;
        for (int i = 0; i < 100; ++i) {
            const QString copy = QPath(home_->path() / ("song" + std::to_string(i) + ".mp3"));
            QVERIFY(QFile::copy(Media("short.mp3"), copy));
            many << copy;
        }
        window_->DropFiles(many);
        QCOMPARE(List()->topLevelItemCount(), 100);
        QCOMPARE(List()->topLevelItem(99)->text(0), many[99]);
        QVERIFY(List()->topLevelItem(99)->text(1).startsWith(QStringLiteral("00:00:05.0")));
        QVERIFY(Button("btnStart")->isEnabled());

        // Nothing is taken while a merge runs.
        window_->SetBusyState();
        window_->DropFiles({Media("song880.mp3")});
        QCOMPARE(List()->topLevelItemCount(), 100);
    }

    void choicesSurviveARestart() {
        const fs::path folder = home_->path() / "chosen";
        fs::create_directories(folder);
        QVERIFY(window_->Settings().SetOutputDir(folder.string()));
        auto* format = Control<QComboBox>("cboVideoFormat");
        format->setCurrentIndex(6);
        emit format->activated(6);
        QCOMPARE(format->currentText(), QStringLiteral("MP4"));
        QCOMPARE(Control<QComboBox>("cboFrameSize")->count(), 29);
        auto* size = Control<QComboBox>("cboFrameSize");
        size->setCurrentIndex(10);
        emit size->activated(10);
        auto* quality = Control<QComboBox>("cmbVideoQuality");
        quality->setCurrentIndex(6);
        emit quality->activated(6);
        Control<QCheckBox>("chkVideoQuality")->click();
        QVERIFY(!Control<QComboBox>("cmbVideoQuality")->isEnabled());

        // A visit to "3GP" shows its short list and keeps the size chosen.
        format->setCurrentIndex(0);
        emit format->activated(0);
        QCOMPARE(Control<QComboBox>("cboFrameSize")->count(), 4);
        QCOMPARE(Control<QComboBox>("cboFrameSize")->currentIndex(), 0);
        format->setCurrentIndex(6);
        emit format->activated(6);

        window_.reset();
        OpenWindow();
        QCOMPARE(Control<QLineEdit>("edDirectory")->text(), QPath(folder));
        QCOMPARE(Control<QComboBox>("cboVideoFormat")->currentText(), QStringLiteral("MP4"));
        QCOMPARE(Control<QComboBox>("cboFrameSize")->currentIndex(), 10);
        QCOMPARE(Control<QComboBox>("cmbVideoQuality")->currentIndex(), 6);
        QVERIFY(!Control<QCheckBox>("chkVideoQuality")->isChecked());
        QVERIFY(!Control<QComboBox>("cmbVideoQuality")->isEnabled());
    }

    // Fade out, repeat and the video's sound are stored as they change and
    // come back; "Original" copies the video, so its size and quality grey out.
    void mergeChoicesSurviveARestartAndOriginalGreysOutSizeAndQuality() {
        QVERIFY(Control<QSpinBox>("spnFadeOut")->value() == 0);
        QCOMPARE(Control<QSpinBox>("spnFadeOut")->text(), QStringLiteral("Off"));
        Control<QSpinBox>("spnFadeOut")->setValue(3);
        Control<QCheckBox>("chkRepeatSongs")->click();
        Control<QSpinBox>("spnVideoSound")->setValue(40);
        auto* format = Control<QComboBox>("cboVideoFormat");
        const int original = format->findText(QStringLiteral("Original"));
        QVERIFY(original > 15);
        format->setCurrentIndex(original);
        emit format->activated(original);
        QVERIFY(!Control<QComboBox>("cboFrameSize")->isEnabled());
        QVERIFY(!Control<QComboBox>("cmbVideoQuality")->isEnabled());
        QVERIFY(!Control<QCheckBox>("chkVideoQuality")->isEnabled());

        window_.reset();
        OpenWindow();
        QCOMPARE(Control<QSpinBox>("spnFadeOut")->value(), 3);
        QVERIFY(Control<QCheckBox>("chkRepeatSongs")->isChecked());
        QCOMPARE(Control<QSpinBox>("spnVideoSound")->value(), 40);
        QCOMPARE(Control<QComboBox>("cboVideoFormat")->currentText(), QStringLiteral("Original"));
        QVERIFY(!Control<QComboBox>("cboFrameSize")->isEnabled());

        // Back to a format that encodes the video: the lists are usable again.
        format = Control<QComboBox>("cboVideoFormat");
        format->setCurrentIndex(4);
        emit format->activated(4);
        QVERIFY(Control<QComboBox>("cboFrameSize")->isEnabled());
        QVERIFY(Control<QCheckBox>("chkVideoQuality")->isEnabled());
    }

    // Each control changed to a value of its own is found in the plan of the
    // merge "Merge" would start, twice with every value different.
    void everyChoiceReachesTheMergePlan() {
        struct Case {
            const char* format;
            const char* suffix;
            int sizeRow;
            bool useQuality;
            int qualityRow;
            int fadeSeconds;
            bool repeat;
            int videoSoundPercent;
            const char* fade;        // in the final options
            const char* videoSound;  // in the final options
            int passes;              // of the songs in the join, 0: no join
        };
        const Case cases[] = {
            {"MKV", ".mkv", 3, true, 7, 3, true, 40, "afade=t=out:st=17:d=3",
             "[0:1]volume=0.4[videosound]", 4},
            {"AVI", ".avi", 5, false, 2, 8, false, 90, "afade=t=out:st=12:d=8",
             "[0:1]volume=0.9[videosound]", 0},
        };
        window_->AddVideoFile(Media("video.mp4"));     // 20 s, sound as stream 1
        window_->AddAudioFiles({Media("short.mp3")});  // 5 s
        TZOZovadod encoder;
        TVEVarazez decoder;
        TMergeJob job(encoder, decoder, window_->Settings(), {});
        for (const Case& c : cases) {
            auto* format = Control<QComboBox>("cboVideoFormat");
            const int formatRow = format->findText(QLatin1String(c.format));
            QVERIFY2(formatRow >= 0, c.format);
            format->setCurrentIndex(formatRow);
            emit format->activated(formatRow);
            auto* size = Control<QComboBox>("cboFrameSize");
            size->setCurrentIndex(c.sizeRow);
            emit size->activated(c.sizeRow);
            auto* qualityBox = Control<QCheckBox>("chkVideoQuality");
            if (qualityBox->isChecked() != c.useQuality) {
                qualityBox->click();
            }
            auto* quality = Control<QComboBox>("cmbVideoQuality");
            quality->setCurrentIndex(c.qualityRow);
            emit quality->activated(c.qualityRow);
            Control<QSpinBox>("spnFadeOut")->setValue(c.fadeSeconds);
            auto* repeat = Control<QCheckBox>("chkRepeatSongs");
            if (repeat->isChecked() != c.repeat) {
                repeat->click();
            }
            Control<QSpinBox>("spnVideoSound")->setValue(c.videoSoundPercent);

            const TMergeSource source = window_->MergeSourceFromControls();
            QCOMPARE(QString::fromStdString(source.VideoFile), Media("video.mp4"));
            std::string error;
            const auto preview = job.Preview(source, error);
            QVERIFY2(preview.has_value(), error.c_str());
            const QString options = QString::fromStdString(preview->Plan.FinalOptions);
            const QString chosenSize = size->itemText(c.sizeRow).section(QLatin1Char(' '), 0, 0);
            QVERIFY2(options.contains(QStringLiteral(" -s ") + chosenSize), qPrintable(options));
            QCOMPARE(options.contains(QStringLiteral("-qscale ")), c.useQuality);
            if (c.useQuality) {
                QVERIFY2(options.contains(QStringLiteral("-qscale %1").arg(c.qualityRow)),
                         qPrintable(options));
            }
            QVERIFY2(options.contains(QLatin1String(c.fade)), qPrintable(options));
            QVERIFY2(options.contains(QLatin1String(c.videoSound)), qPrintable(options));
            QCOMPARE(QString::fromStdString(preview->Plan.OutputSuffix), QLatin1String(c.suffix));
            QCOMPARE(preview->Plan.JoinOutput.has_value(), c.passes > 0);
            if (c.passes > 0) {
                QCOMPARE(preview->Plan.JoinOutput->Passes, c.passes);
            }
        }
    }

    void logOnRequest() {
        auto* log = Control<QPlainTextEdit>("mmoLog");
        window_->AppendLog(QStringLiteral("a line"));
        QVERIFY(!log->isVisible());
        Control<QToolButton>("btnShowLog")->click();
        QVERIFY(log->isVisible());
        QVERIFY(log->toPlainText().endsWith(QStringLiteral("a line")));
        Control<QToolButton>("btnShowLog")->click();
        QVERIFY(!log->isVisible());
    }

    void closingAsksFirst() {
        desktop_->AnswerYes = false;
        QVERIFY(!window_->close());
        QVERIFY(window_->isVisible());
        QCOMPARE(desktop_->Questions, QStringList{QStringLiteral("Do you really want to exit?")});
        desktop_->AnswerYes = true;
        Button("btnExit")->click();
        QVERIFY(!window_->isVisible());
        QCOMPARE(desktop_->Questions.size(), 2);
    }

    // "...", "Open", the share buttons and the menu reach the desktop through
    // the window's seams.
    void folderMenuAndShareAreWired() {
        const QString chosen = QPath(home_->path() / "chosen");
        QVERIFY(QDir().mkpath(chosen));
        desktop_->NextFolder = chosen;
        Button("btn_output")->click();
        QCOMPARE(Control<QLineEdit>("edDirectory")->text(), chosen);
        QCOMPARE(QString::fromStdString(window_->Settings().OutputDir()), chosen);

        desktop_->OpenedFolders.clear();
        Button("btn_open")->click();
        QCOMPARE(desktop_->OpenedFolders, QStringList{chosen});

        QVERIFY(window_->ShareBar()->isAncestorOf(Control<QLabel>("lblShare")));
        const auto shareButtons = window_->ShareBar()->findChildren<QAbstractButton*>();
        QCOMPARE(shareButtons.size(), 7);
        shareButtons.front()->click();
        QCOMPARE(desktop_->OpenedUrls.size(), 1);
        QVERIFY(desktop_->OpenedUrls.front().toString().contains(
            QString::fromStdString(window_->Global().ProductPageUrl())));

        QVERIFY(!window_->menuBar()->actions().isEmpty());
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"

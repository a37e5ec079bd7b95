// The output folder chooser and the "..." and "Open" handlers, driven through
// the real chooser window with the desktop and the disc test replaced.
#include <QFileSystemModel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeView>
#include <QtTest>
#include <algorithm>
#include <filesystem>

#include "app/core/settings.h"
#include "app/gui/folder_chooser.h"
#include "app/gui/output_folder_actions.h"
#include "core/core_test_support.h"
#include "desktop_recorder.h"
#include "picture_support.h"

using namespace tavrin;
using tavrin::testing::TDesktopRecorder;
using tavrin::testing::TempDir;

namespace {

// A user with an empty home folder and a settings file that stores `current`.
struct FolderScene {
    explicit FolderScene(const std::string& current) {
        qputenv("HOME", QByteArray::fromStdString(home.path().string()));
        settings.SetOutputDir(current);
        box.setText(QString::fromStdString(current));
    }
    ~FolderScene() { qputenv("HOME", oldHome); }

    QByteArray oldHome = qgetenv("HOME");
    TempDir home;
    TempDir config;
    std::string iniFile = (config / "tavrin.ini").string();
    TSettings settings{iniFile};
    QWidget window;
    QLineEdit box{&window};
    TDesktopRecorder desktop;
};

}  // namespace

class OutputFolderTest : public QObject {
    Q_OBJECT

private slots:
    void choosingThroughTheChooserAppliesTheRules_data() {
        QTest::addColumn<QString>("pick");  // "current", "root", "disc", "locked", "good"
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("message");  // "$F" stands for the picked folder
        QTest::addColumn<QString>("shown");    // "$F", "current" or "fallback"
        QTest::addColumn<bool>("chooserStaysOpen");
        QTest::newRow("same folder") << "current"
                                     << ""
                                     << ""
                                     << "current" << false;
        QTest::newRow("short path") << "root"
                                    << "Warning"
                                    << "The path / is not a valid directory."
                                    << "current" << false;
        QTest::newRow("cd-rom") << "disc"
                                << "Tavrin"
                                << "Output folder cannot be located in CD-ROM.Please select "
                                   "another folder."
                                << "current" << true;
        QTest::newRow("no permission as alice")
            << "locked"
            << "Warning"
            << "You login as alice .You don't have permission to write to directory:$F"
            << "fallback" << false;
        QTest::newRow("good folder") << "good"
                                     << ""
                                     << ""
                                     << "$F" << false;
    }

    void choosingThroughTheChooserAppliesTheRules() {
        QFETCH(QString, pick);
        QFETCH(QString, title);
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QFETCH(bool, chooserStaysOpen);

        TempDir folders;
        std::filesystem::create_directories(folders / "current");
        std::filesystem::create_directories(folders / "disc");
        std::filesystem::create_directories(folders / "good");
        tavrin::testing::UnwritableFolder locked;
        const QString current = QString::fromStdString((folders / "current").string());
        const QMap<QString, QString> picks = {
            {"current", current},
            {"root", "/"},
            {"disc", QString::fromStdString((folders / "disc").string())},
            {"locked", QString::fromStdString(locked.path())},
            {"good", QString::fromStdString((folders / "good").string())},
        };
        const QString picked = picks.value(pick);
        FolderScene scene(current.toStdString());
        const QString fallback = QString::fromStdString(FallbackOutputDir());
        QCOMPARE(fallback, QString::fromStdString(scene.home.path().string()) + "/tavrinfree");

        const QString disc = picks.value("disc");
        TfmDirectory chooser(&scene.window, scene.desktop.Services(), [&](const std::string& f) {
            return QString::fromStdString(f) == disc;
        });
        bool stayedOpen = false;
        bool okWasEnabled = false;
        // The chooser's own "Ok" path: select the folder, press the button.
        auto chooseInWindow = [&](QWidget*) {
            chooser.show();
            if (!chooser.SelectFolder(picked)) {
                qWarning() << "cannot select" << picked;
                return QString();
            }
            okWasEnabled = chooser.OkButton()->isEnabled();
            chooser.OkButton()->click();
            stayedOpen = chooser.isVisible();
            if (stayedOpen) {
                chooser.CancelButton()->click();
            }
            return chooser.SelectedFolder();
        };
        TFolderChecks checks = SystemFolderChecks();
        checks.userName = [] { return std::string("alice\n"); };
        TOutputFolderActions actions(&scene.window, &scene.box, scene.iniFile,
                                     scene.desktop.Services(), chooseInWindow, checks);
        actions.ChooseOutputFolder();

        QVERIFY(okWasEnabled);
        QCOMPARE(stayedOpen, chooserStaysOpen);
        QVERIFY(!chooser.isVisible());
        if (message.isEmpty()) {
            QVERIFY(scene.desktop.messages.empty());
        } else {
            QCOMPARE(scene.desktop.messages.size(), size_t{1});
            QCOMPARE(scene.desktop.messages[0].title, title);
            QCOMPARE(scene.desktop.messages[0].text, QString(message).replace("$F", picked));
            QCOMPARE(scene.desktop.messages[0].icon,
                     title == "Tavrin" ? TMessageIcon::Information : TMessageIcon::Warning);
        }
        const QString expected = shown == "current"    ? current
                                 : shown == "fallback" ? fallback
                                                       : picked;
        QCOMPARE(scene.box.text(), expected);
        QCOMPARE(QString::fromStdString(scene.settings.OutputDir()), expected);
        QVERIFY(scene.desktop.urls.empty());
    }

    void chooserStartsAtHomeAndCancelChoosesNothing() {
        FolderScene scene("/somewhere");
        std::filesystem::create_directories(scene.home / "videos");
        TfmDirectory chooser(&scene.window, scene.desktop.Services());
        chooser.show();
        QCOMPARE(chooser.size(), QSize(322, 351));
        QCOMPARE(chooser.windowTitle(), QString("Browse"));
        QCOMPARE(chooser.CurrentFolder(), QString::fromStdString(scene.home.path().string()));
        QVERIFY(chooser.OkButton()->isEnabled());

        const QString videos = QString::fromStdString((scene.home / "videos").string());
        QVERIFY(chooser.SelectFolder(videos));
        chooser.OkButton()->click();
        QCOMPARE(chooser.SelectedFolder(), videos);
        QVERIFY(!chooser.isVisible());

        chooser.show();
        // Every showing starts at home again.
        QCOMPARE(chooser.CurrentFolder(), QString::fromStdString(scene.home.path().string()));
        chooser.FolderTree()->setCurrentIndex({});
        QVERIFY(!chooser.OkButton()->isEnabled());
        chooser.CancelButton()->click();
        QVERIFY(chooser.SelectedFolder().isEmpty());
        QVERIFY(!chooser.SelectFolder(videos + "/missing"));
        QVERIFY(scene.desktop.messages.empty());
    }

    void unsavedFolderIsReportedAndNotShown() {
        FolderScene scene("/somewhere");
        TempDir good;
        // Settings that cannot be written (a file system that refuses new files).
        TOutputFolderActions actions(
            &scene.window, &scene.box, "/proc/tavrin-test/tavrin.ini", scene.desktop.Services(),
            [&](QWidget*) { return QString::fromStdString(good.path().string()); });
        actions.ChooseOutputFolder();
        QCOMPARE(scene.box.text(), QString("/somewhere"));
        QCOMPARE(scene.desktop.messages.size(), size_t{1});
        QVERIFY2(scene.desktop.messages[0].text.startsWith(QString::fromStdString(
                     "The output folder " + good.path().string() + " could not be saved: ")),
                 qPrintable(scene.desktop.messages[0].text));
    }

    void openShowsTheStoredFolder() {
        FolderScene scene("/srv/videos");
        TOutputFolderActions actions(&scene.window, &scene.box, scene.iniFile,
                                     scene.desktop.Services(), [](QWidget*) { return QString(); });
        actions.OpenOutputFolder();
        QCOMPARE(scene.desktop.urls.size(), size_t{1});
        QCOMPARE(scene.desktop.urls[0], QUrl("file:///srv/videos"));

        scene.box.clear();
        actions.OpenOutputFolder();
        QCOMPARE(scene.desktop.urls.size(), size_t{1});  // an empty box opens nothing
    }

    void renderPicture() {
        if (tavrin::testing::PictureFolder().isEmpty()) {
            QSKIP("set TAVRIN_PICTURE_DIR to render folder_chooser.png");
        }
        TempDir root;
        const auto home = root / "home" / "alice";
        for (const char* folder : {"Documents", "Music", "Pictures", "Videos", "tavrinfree"}) {
            std::filesystem::create_directories(home / folder);
        }
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", QByteArray::fromStdString(home.string()));
        TDesktopRecorder desktop;
        TfmDirectory chooser(nullptr, desktop.Services());
        const auto* model = qobject_cast<QFileSystemModel*>(chooser.FolderTree()->model());
        QVERIFY(model != nullptr);
        QSignalSpy loaded(model, &QFileSystemModel::directoryLoaded);
        chooser.show();
        QVERIFY(QTest::qWaitForWindowExposed(&chooser));
        QVERIFY(chooser.SelectFolder(QString::fromStdString((home / "Videos").string())));
        // The tree reads folders in the background; the picture leaves out
        // the other temporary folders of the machine, once they are read.
        const QString temporary = QString::fromStdString(root.path().parent_path().string());
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(loaded.cbegin(), loaded.cend(),
                                             [&temporary](const QList<QVariant>& arguments) {
                                                 return arguments.at(0).toString() == temporary;
                                             }),
                                 30000);
        const QModelIndex ours = model->index(QString::fromStdString(root.path().string()));
        for (int row = 0; row < model->rowCount(ours.parent()); ++row) {
            chooser.FolderTree()->setRowHidden(row, ours.parent(), row != ours.row());
        }
        chooser.FolderTree()->scrollTo(chooser.FolderTree()->currentIndex(),
                                       QAbstractItemView::PositionAtCenter);
        // The view lays out and scrolls on timers of its own, with nothing
        // to wait on: a short settling time before the picture.
        QTest::qWait(200);
        const bool saved = tavrin::testing::SaveWindowPicture(chooser, "folder_chooser.png");
        qputenv("HOME", oldHome);
        QVERIFY(saved);
    }
};

QTEST_MAIN(OutputFolderTest)
#include "output_folder_test.moc"

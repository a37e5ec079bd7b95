// A desktop stand-in for the window tests: open dialogs return the files a
// test gives, questions get the answer it sets, and message boxes and opened
// folders are recorded instead of shown.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/gui/window_seams.h"

namespace tavrin::testing {

struct TFakeDesktop {
    struct Message {
        TMessageKind Kind;
        QString Title;
        QString Text;
    };

    // What the next open dialog returns (empty: cancelled).
    QStringList NextFiles;
    // What the last open dialog was given.
    QStringList LastNameFilters;
    bool LastMultiple = false;
    int DialogsShown = 0;
    bool AnswerYes = true;
    QStringList Questions;
    std::vector<Message> Messages;
    // Local folders and other addresses handed to the desktop.
    QStringList OpenedFolders;
    QList<QUrl> OpenedUrls;
    // What "..." chooses (empty: cancelled).
    QString NextFolder;
};

// Seams that act on the shared stand-in.
TWindowSeams FakeSeams(const std::shared_ptr<TFakeDesktop>& desktop);

// A path as the window's controls show it.
QString QPath(const std::filesystem::path& path);

// The main thread's queue served from Qt's event loop, as in the program;
// and its end, after the last window is gone.
void StartWindowRuntime();
void StopWindowRuntime();

// Points HOME and XDG_CONFIG_HOME at a folder of the test's own, so that no
// user's settings are read or written.
void UseOwnHome(const QString& folder);

}  // namespace tavrin::testing

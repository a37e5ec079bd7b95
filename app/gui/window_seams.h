// What the main window asks of the desktop: file dialogs, message boxes and
// opening a folder in the file manager. Each is a replaceable function, so a
// test gives the paths and answers and reads the texts without a modal
// dialog blocking it and without launching anything.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

#include "app/gui/desktop_services.h"

class QWidget;

namespace tavrin {

enum class TMessageKind { Information, Warning, Error };

struct TWindowSeams {
    // An open dialog: the chosen existing files ("" entries never), empty
    // when cancelled. multiple allows several files.
    std::function<QStringList(QWidget* parent, const QStringList& nameFilters, bool multiple)>
        OpenFiles;
    // A message box with an OK button.
    std::function<void(QWidget* parent, TMessageKind kind, const QString& title,
                       const QString& text)>
        ShowMessage;
    // A Yes/No question; true for Yes.
    std::function<bool(QWidget* parent, const QString& title, const QString& text)> AskYesNo;
    // The small windows' (folder chooser, About, menu, share buttons) and
    // "Open"'s way to the desktop: addresses and folders opened, boxes.
    TDesktopServices Desktop;
    // Picks the output folder for "..."; unset, the window shows its folder
    // chooser.
    std::function<QString(QWidget* parent)> ChooseFolder;
};

// The real dialogs, boxes and file manager.
TWindowSeams DesktopSeams();

}  // namespace tavrin

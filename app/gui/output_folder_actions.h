// The handlers of "..." and "Open" next to the output folder box: choosing a
// new output folder by the rules of app/core/output_folder_rule, storing it as
// "OutPutDir" and showing it in the box; and opening the stored folder in the
// desktop's file manager.
#pragma once

#include <QString>
#include <functional>
#include <string>

#include "app/core/output_folder_rule.h"
#include "app/gui/desktop_services.h"

class QLineEdit;
class QWidget;

namespace tavrin {

class TOutputFolderActions {
public:
    // Shows a folder chooser over the window and returns the folder chosen,
    // empty when none was.
    using TChooseFolder = std::function<QString(QWidget* window)>;

    // The window and the box outlive this object.
    TOutputFolderActions(QWidget* window, QLineEdit* folderBox, std::string iniFileName,
                         TDesktopServices services, TChooseFolder chooseFolder,
                         TFolderChecks checks = SystemFolderChecks());

    // "...": a folder that passes the rules is stored and shown; a refused one
    // shows its warning and leaves both unchanged; a folder that cannot be
    // written is replaced by the fallback folder.
    void ChooseOutputFolder();
    // "Open": the stored folder in the file manager, when the box shows one.
    void OpenOutputFolder();

private:
    void Warn(const QString& title, const std::string& text, TMessageIcon icon) const;

    QWidget* window_;
    QLineEdit* folderBox_;
    std::string iniFileName_;
    TDesktopServices services_;
    TChooseFolder chooseFolder_;
    TFolderChecks checks_;
};

}  // namespace tavrin

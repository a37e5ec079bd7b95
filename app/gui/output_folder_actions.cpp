#include "app/gui/output_folder_actions.h"

#include <QLineEdit>

#include "app/core/settings.h"

namespace tavrin {

TOutputFolderActions::TOutputFolderActions(QWidget* window, QLineEdit* folderBox,
                                           std::string iniFileName, TDesktopServices services,
                                           TChooseFolder chooseFolder, TFolderChecks checks)
    : window_(window),
      folderBox_(folderBox),
      iniFileName_(std::move(iniFileName)),
      services_(std::move(services)),
      chooseFolder_(std::move(chooseFolder)),
      checks_(std::move(checks)) {}

void TOutputFolderActions::ChooseOutputFolder() {
    const QString chosen = chooseFolder_(window_);
    const TFolderChoice choice =
        DecideOutputFolder(chosen.toStdString(), folderBox_->text().toStdString(), checks_);
    switch (choice.outcome) {
        case TFolderChoiceOutcome::Unchanged:
            return;
        case TFolderChoiceOutcome::OnOpticalDisc:
            Warn(QString::fromLatin1(kApplicationTitle), choice.message, TMessageIcon::Information);
            return;
        case TFolderChoiceOutcome::NotValid:
        case TFolderChoiceOutcome::NoPermission:
            Warn(QString::fromLatin1(kWarningTitle), choice.message, TMessageIcon::Warning);
            break;
        case TFolderChoiceOutcome::Stored:
            break;
    }
    if (choice.folder.empty()) {
        return;
    }
    TSettings settings(iniFileName_);
    if (!settings.SetOutputDir(choice.folder)) {
        // The merge reads the stored folder, so the box keeps showing that one.
        Warn(QString::fromLatin1(kWarningTitle),
             "The output folder " + choice.folder +
                 " could not be saved: " + settings.LastErrorText(),
             TMessageIcon::Warning);
        return;
    }
    folderBox_->setText(QString::fromStdString(choice.folder));
}

void TOutputFolderActions::OpenOutputFolder() {
    if (folderBox_->text().size() <= 2) {
        return;
    }
    const TSettings settings(iniFileName_);
    services_.openUrl(QUrl::fromLocalFile(QString::fromStdString(settings.OutputDir())));
}

void TOutputFolderActions::Warn(const QString& title, const std::string& text,
                                TMessageIcon icon) const {
    services_.showMessage(window_, title, QString::fromStdString(text), icon);
}

}  // namespace tavrin

#include "app/gui/window_seams.h"

#include <QFileDialog>
#include <QMessageBox>

namespace tavrin {

TWindowSeams DesktopSeams() {
    TWindowSeams seams;
    seams.OpenFiles = [](QWidget* parent, const QStringList& nameFilters, bool multiple) {
        QFileDialog dialog(parent);
        dialog.setFileMode(multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
        dialog.setNameFilters(nameFilters);
        dialog.setSizeGripEnabled(true);
        if (dialog.exec() != QDialog::Accepted) {
            return QStringList();
        }
        return dialog.selectedFiles();
    };
    seams.ShowMessage = [](QWidget* parent, TMessageKind kind, const QString& title,
                           const QString& text) {
        switch (kind) {
            case TMessageKind::Information:
                QMessageBox::information(parent, title, text);
                break;
            case TMessageKind::Warning:
                QMessageBox::warning(parent, title, text);
                break;
            case TMessageKind::Error:
                QMessageBox::critical(parent, title, text);
                break;
        }
    };
    seams.AskYesNo = [](QWidget* parent, const QString& title, const QString& text) {
        return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };
    seams.Desktop = SystemDesktopServices();
    return seams;
}

}  // namespace tavrin

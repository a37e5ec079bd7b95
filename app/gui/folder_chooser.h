// The output folder chooser behind "...": a tree of the file system's folders
// rooted at "/", shown modally. "Ok" refuses a folder on a CD or DVD and keeps
// the window open; "Cancel" and the close box choose nothing.
#pragma once

#include <QDialog>
#include <QFileSystemModel>
#include <functional>
#include <string>

#include "app/gui/desktop_services.h"

class QPushButton;
class QTreeView;

namespace tavrin {

class TfmDirectory : public QDialog {
    Q_OBJECT

public:
    using TOpticalDiscTest = std::function<bool(const std::string&)>;

    explicit TfmDirectory(QWidget* parent, TDesktopServices services,
                          TOpticalDiscTest isOnOpticalDisc = nullptr);

    // The folder chosen by the last showing; empty when it was cancelled.
    const QString& SelectedFolder() const { return selectedFolder_; }

    // Selects and reveals a folder of the tree; false when it is not a folder.
    bool SelectFolder(const QString& path);
    // The folder selected in the tree, empty when none.
    QString CurrentFolder() const;

    QTreeView* FolderTree() const { return tree_; }
    QPushButton* OkButton() const { return btnOk_; }
    QPushButton* CancelButton() const { return btnCancel_; }

    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void UpdateOk();
    void AcceptSelection();

    TDesktopServices services_;
    TOpticalDiscTest isOnOpticalDisc_;
    QFileSystemModel model_;
    QTreeView* tree_;
    QPushButton* btnOk_;
    QPushButton* btnCancel_;
    QString selectedFolder_;
};

// Shows the chooser modally and returns its choice: what "..." asks.
QString ShowFolderChooser(TfmDirectory& chooser);

}  // namespace tavrin

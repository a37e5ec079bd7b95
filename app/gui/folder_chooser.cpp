#include "app/gui/folder_chooser.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "app/core/global_object.h"
#include "app/core/output_folder_rule.h"

namespace tavrin {

namespace {

constexpr QSize kChooserSize(322, 351);

}  // namespace

TfmDirectory::TfmDirectory(QWidget* parent, TDesktopServices services,
                           TOpticalDiscTest isOnOpticalDisc)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      services_(std::move(services)),
      isOnOpticalDisc_(isOnOpticalDisc ? std::move(isOnOpticalDisc) : IsOnOpticalDisc),
      tree_(new QTreeView(this)),
      btnOk_(new QPushButton(QStringLiteral("Ok"), this)),
      btnCancel_(new QPushButton(QStringLiteral("Cancel"), this)) {
    setWindowTitle(QStringLiteral("Browse"));
    setModal(true);

    // Folders only; the tree is read when shown, not kept in step with the disk.
    model_.setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
    model_.setOption(QFileSystemModel::DontWatchForChanges);
    model_.setRootPath(QStringLiteral("/"));

    tree_->setObjectName(QStringLiteral("stview_selectdir"));
    tree_->setModel(&model_);
    tree_->setHeaderHidden(true);
    for (int column = 1; column < model_.columnCount(); ++column) {
        tree_->hideColumn(column);
    }
    tree_->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { UpdateOk(); });
    // Folders are read in the background: keep the selection in view while
    // the folders above it fill in.
    connect(&model_, &QFileSystemModel::directoryLoaded, this, [this] {
        if (tree_->currentIndex().isValid()) {
            tree_->scrollTo(tree_->currentIndex());
        }
    });

    btnOk_->setObjectName(QStringLiteral("btnOk"));
    btnCancel_->setObjectName(QStringLiteral("btnCancel"));
    btnOk_->setDefault(true);
    connect(btnOk_, &QPushButton::clicked, this, [this] { AcceptSelection(); });
    connect(btnCancel_, &QPushButton::clicked, this, [this] { reject(); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk_);
    buttons->addWidget(btnCancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Please select an output directory:"), this));
    layout->addWidget(tree_, 1);
    layout->addLayout(buttons);
    resize(kChooserSize);
}

bool TfmDirectory::SelectFolder(const QString& path) {
    const QModelIndex index = model_.index(path);
    if (!index.isValid() || !model_.isDir(index)) {
        return false;
    }
    for (QModelIndex parent = index.parent(); parent.isValid(); parent = parent.parent()) {
        tree_->expand(parent);
    }
    tree_->setCurrentIndex(index);
    tree_->scrollTo(index);
    UpdateOk();
    return true;
}

QString TfmDirectory::CurrentFolder() const {
    const QModelIndex index = tree_->currentIndex();
    return index.isValid() ? model_.filePath(index) : QString();
}

void TfmDirectory::showEvent(QShowEvent* event) {
    resize(kChooserSize);
    // Every showing starts where the user's own folders are, not at the
    // current output folder.
    SelectFolder(QString::fromStdString(HomeFolder()));
    UpdateOk();
    QDialog::showEvent(event);
}

void TfmDirectory::UpdateOk() {
    // Every node of this tree is a real folder; only "no selection" has no path.
    btnOk_->setEnabled(!CurrentFolder().isEmpty());
}

void TfmDirectory::AcceptSelection() {
    selectedFolder_ = CurrentFolder();
    if (selectedFolder_.isEmpty()) {
        return;
    }
    if (isOnOpticalDisc_(selectedFolder_.toStdString())) {
        selectedFolder_.clear();
        services_.showMessage(this, QString::fromLatin1(kApplicationTitle),
                              QString::fromUtf8(kOpticalDiscMessage.data(),
                                                static_cast<qsizetype>(kOpticalDiscMessage.size())),
                              TMessageIcon::Information);
        return;
    }
    accept();
}

void TfmDirectory::reject() {
    selectedFolder_.clear();
    QDialog::reject();
}

QString ShowFolderChooser(TfmDirectory& chooser) {
    chooser.exec();
    return chooser.SelectedFolder();
}

}  // namespace tavrin

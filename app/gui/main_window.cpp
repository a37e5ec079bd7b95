#include "app/gui/main_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTextCursor>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/core/about_text.h"
#include "app/core/choice_lists.h"
#include "app/core/duration_text.h"
#include "app/core/media_libraries.h"
#include "app/core/moving_video.h"
#include "app/core/opened_file_report.h"
#include "app/gui/file_filters.h"
#include "app/gui/file_list_delegate.h"
#include "app/gui/main_menu.h"
#include "app/gui/preview_window.h"
#include "app/gui/share_buttons.h"

namespace tavrin {

namespace {

// The client area (below the menu bar) the window opens with, and the
// smallest it may have: 685 x 528 for the whole window, less a frame of 8
// pixels a side, a 30-pixel title bar and a 22-pixel menu bar.
constexpr QSize kClientSize(702, 488);
constexpr QSize kMinimumClient(669, 468);
constexpr int kFileColumnWidth = 550;
constexpr int kDurationColumnWidth = 80;
constexpr int kFrameSizeRowsShown = 16;
// The heading that starts a file's information in the log; it is not a
// failure, unlike the other lines that start with "***".
constexpr const char* kInfoHeading = "***VEVarazez.FileInfoText";

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string S(const QString& text) {
    return text.toStdString();
}

// A text box that shows and cannot be edited, with the cream background of
// the window's other read-only boxes.
QLineEdit* ReadOnlyBox(const char* name) {
    auto* box = new QLineEdit;
    box->setObjectName(QLatin1String(name));
    box->setReadOnly(true);
    box->setEnabled(false);
    box->setStyleSheet(
        QStringLiteral("QLineEdit { background: rgb(255, 251, 240); color: black; }"));
    return box;
}

QPushButton* Button(const char* name, const char* caption, bool enabled = true) {
    auto* button = new QPushButton(QLatin1String(caption));
    button->setObjectName(QLatin1String(name));
    button->setEnabled(enabled);
    return button;
}

QLabel* Label(const char* name, const char* caption) {
    auto* label = new QLabel(QLatin1String(caption));
    label->setObjectName(QLatin1String(name));
    return label;
}

QComboBox* DropDown(const char* name) {
    auto* list = new QComboBox;
    list->setObjectName(QLatin1String(name));
    return list;
}

void Fill(QComboBox* list, std::span<const std::string_view> entries, int selected) {
    list->clear();
    for (const std::string_view entry : entries) {
        list->addItem(QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size())));
    }
    list->setCurrentIndex(selected);
}

bool IsFailureLine(const QString& line) {
    return (line.startsWith(QLatin1String("***")) && line != QLatin1String(kInfoHeading)) ||
           line.startsWith(QLatin1String("failed to load "));
}

// What the status label shows of a failure line: without its "***".
QString FailureText(const QString& line) {
    return line.startsWith(QLatin1String("***")) ? line.mid(3) : line;
}

}  // namespace

TfrmMain::TfrmMain(TWindowSeams seams, QWidget* parent)
    : QMainWindow(parent),
      seams_(std::move(seams)),
      global_(CreateGlobalObject()),
      settings_(global_.IniFileName()) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QLatin1String(kApplicationTitle));
    setAcceptDrops(true);
    encoder_.PreviewViewFactory = MakePreviewViewFactory();
    job_ = MakeMergeJob();
    BuildControls();
    chooser_ = std::make_unique<TfmDirectory>(this, seams_.Desktop);
    about_ = std::make_unique<TfrmAbout1>(this, global_, seams_.Desktop, CurrentYear());
    folder_actions_ = std::make_unique<TOutputFolderActions>(
        this, edDirectory_, global_.IniFileName(), seams_.Desktop, [this](QWidget* parent) {
            return seams_.ChooseFolder ? seams_.ChooseFolder(parent) : ShowFolderChooser(*chooser_);
        });
    FillMainMenu(*menuBar(), global_, seams_.Desktop, [this] { ShowAboutWindow(*about_); });
    ConnectControls();
    ConnectPreview();
    centralWidget()->setMinimumSize(kMinimumClient);
    resize(kClientSize.width(), kClientSize.height() + menuBar()->sizeHint().height());
}

TfrmMain::~TfrmMain() {
    preview_.reset();
    job_.reset();
    encoder_.Stop(true);
}

std::unique_ptr<TMergeJob> TfrmMain::MakeMergeJob() {
    TMergeJobCallbacks callbacks;
    callbacks.LogLine = [this](const std::string& line) { AppendLog(Q(line)); };
    callbacks.SetBusy = [this] { SetBusyState(); };
    callbacks.SetIdle = [this] { SetIdleState(); };
    callbacks.Progress = [this](TMergeStage, std::int64_t percent, const TProgressInfo& info) {
        ShowProgress(percent, info);
    };
    callbacks.StopPreview = [this] { preview_->StopAndWait(); };
    callbacks.ShowError = [this](const std::string& message) { ShowTaskError(Q(message)); };
    callbacks.Warn = [this](const std::string& title, const std::string& text) {
        seams_.ShowMessage(this, TMessageKind::Warning, Q(title), Q(text));
    };
    auto job = std::make_unique<TMergeJob>(encoder_, decoder_, settings_, std::move(callbacks));
    job->SetOpenOnWorker(true);
    return job;
}

// --- Building the window ---------------------------------------------------------

void TfrmMain::BuildControls() {
    menuBar();  // its entries come from FillMainMenu
    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);
    layout->addWidget(BuildVideoGroup());
    layout->addWidget(BuildAudioGroup(), 3);
    layout->addWidget(BuildChoices());
    layout->addWidget(BuildStatusRow());
    mmoLog_ = new QPlainTextEdit;
    mmoLog_->setObjectName(QStringLiteral("mmoLog"));
    mmoLog_->setReadOnly(true);
    mmoLog_->setVisible(false);
    layout->addWidget(mmoLog_, 2);
    layout->addWidget(BuildBottomRow());
    setCentralWidget(central);
}

QWidget* TfrmMain::BuildVideoGroup() {
    grpAddVideo_ = new QGroupBox(QStringLiteral("Adding Video Files"));
    grpAddVideo_->setObjectName(QStringLiteral("grpAddVideo"));
    auto* row = new QHBoxLayout(grpAddVideo_);
    btnAddVideo_ = Button("btnAddVideo", "Add Video");
    edtVideoFile_ = ReadOnlyBox("edtVideoFile");
    Label2_ = Label("Label2", "Duration:");
    lblDuration_ = Label("lblDuration", "00:00:00:");
    lblDuration_->setMinimumWidth(
        lblDuration_->fontMetrics().horizontalAdvance(QStringLiteral("00:00:00.000 ")));
    row->addWidget(btnAddVideo_);
    row->addWidget(edtVideoFile_, 1);
    row->addWidget(Label2_);
    row->addWidget(lblDuration_);
    return grpAddVideo_;
}

QWidget* TfrmMain::BuildAudioGroup() {
    grpAudio_ = new QGroupBox(QStringLiteral("Adding Audio Files"));
    grpAudio_->setObjectName(QStringLiteral("grpAudio"));
    auto* layout = new QVBoxLayout(grpAudio_);
    auto* buttons = new QHBoxLayout;
    btnAddAudio_ = Button("btnAddAudio", "Add Audio");
    btnUp_ = Button("btnUp", "Up", false);
    btnDown_ = Button("btnDown", "Down", false);
    btnClear_ = Button("btnClear", "Clear", false);
    btnPlay_ = Button("btnPlay", "Play", false);
    btnPlayStop_ = Button("btnPlayStop", "Stop", false);
    btnPlayPause_ = Button("btnPlayPause", "Pause", false);
    Panel1_ = new QWidget;
    Panel1_->setObjectName(QStringLiteral("Panel1"));
    Panel1_->setFixedSize(100, 28);
    Panel1_->setAutoFillBackground(true);
    QPalette panelPalette = Panel1_->palette();
    panelPalette.setColor(QPalette::Window, Qt::black);
    Panel1_->setPalette(panelPalette);
    for (QPushButton* button : {btnAddAudio_, btnUp_, btnDown_, btnClear_}) {
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    for (QPushButton* button : {btnPlay_, btnPlayStop_, btnPlayPause_}) {
        buttons->addWidget(button);
    }
    buttons->addWidget(Panel1_);
    layout->addLayout(buttons);

    lvFiles_ = new QTreeWidget;
    lvFiles_->setObjectName(QStringLiteral("lvFiles"));
    lvFiles_->setColumnCount(2);
    lvFiles_->setHeaderLabels({QStringLiteral("Audio Files"), QStringLiteral("Duration")});
    lvFiles_->header()->setStretchLastSection(false);
    lvFiles_->setColumnWidth(0, kFileColumnWidth);
    // 80 pixels held the time in the original's small font; a larger
    // desktop font still shows it whole.
    lvFiles_->setColumnWidth(
        1,
        std::max(kDurationColumnWidth,
                 lvFiles_->fontMetrics().horizontalAdvance(QStringLiteral("00:00:00.000")) + 12));
    lvFiles_->setRootIsDecorated(false);
    lvFiles_->setSelectionMode(QAbstractItemView::SingleSelection);
    lvFiles_->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvFiles_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvFiles_->setItemDelegate(new TFileListDelegate(lvFiles_));
    lvFiles_->setMinimumHeight(80);
    layout->addWidget(lvFiles_, 1);
    return grpAudio_;
}

QWidget* TfrmMain::BuildChoices() {
    auto* choices = new QWidget;
    choices_layout_ = new QGridLayout(choices);
    choices_layout_->setContentsMargins(0, 0, 0, 0);
    lbl2_ = Label("lbl2", "Output Folder:");
    edDirectory_ = ReadOnlyBox("edDirectory");
    btn_output_ = Button("btn_output", "...");
    btn_output_->setFixedWidth(
        btn_output_->fontMetrics().horizontalAdvance(QStringLiteral("....")) + 16);
    btn_open_ = Button("btn_open", "Open");
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(edDirectory_, 1);
    folderRow->addWidget(btn_output_);
    folderRow->addWidget(btn_open_);
    choices_layout_->addWidget(lbl2_, 0, 0);
    choices_layout_->addLayout(folderRow, 0, 1, 1, 3);

    Label1_ = Label("Label1", "Output Video Format:");
    cboVideoFormat_ = DropDown("cboVideoFormat");
    lbl1_ = Label("lbl1", "Output Video Size:");
    cboFrameSize_ = DropDown("cboFrameSize");
    cboFrameSize_->setMaxVisibleItems(kFrameSizeRowsShown);
    chkVideoQuality_ = new QCheckBox(QStringLiteral(" Video Quality"));
    chkVideoQuality_->setObjectName(QStringLiteral("chkVideoQuality"));
    cmbVideoQuality_ = DropDown("cmbVideoQuality");
    choices_layout_->addWidget(Label1_, 1, 0);
    choices_layout_->addWidget(cboVideoFormat_, 1, 1);
    choices_layout_->addWidget(lbl1_, 1, 2);
    choices_layout_->addWidget(cboFrameSize_, 1, 3);
    choices_layout_->addWidget(chkVideoQuality_, 2, 0);
    choices_layout_->addWidget(cmbVideoQuality_, 2, 1);

    // The merge choices; 0 switches fading and the video's sound off.
    lblFadeOut_ = Label("lblFadeOut", "Fade Out:");
    spnFadeOut_ = new QSpinBox;
    spnFadeOut_->setObjectName(QStringLiteral("spnFadeOut"));
    spnFadeOut_->setRange(0, kMaxFadeOutSeconds);
    spnFadeOut_->setSuffix(QStringLiteral(" s"));
    spnFadeOut_->setSpecialValueText(QStringLiteral("Off"));
    chkRepeatSongs_ = new QCheckBox(QStringLiteral(" Repeat Songs"));
    chkRepeatSongs_->setObjectName(QStringLiteral("chkRepeatSongs"));
    lblVideoSound_ = Label("lblVideoSound", "Video Sound:");
    spnVideoSound_ = new QSpinBox;
    spnVideoSound_->setObjectName(QStringLiteral("spnVideoSound"));
    spnVideoSound_->setRange(0, kMaxVideoSoundPercent);
    spnVideoSound_->setSuffix(QStringLiteral(" %"));
    spnVideoSound_->setSpecialValueText(QStringLiteral("Off"));
    choices_layout_->addWidget(lblFadeOut_, 2, 2);
    choices_layout_->addWidget(spnFadeOut_, 2, 3);
    choices_layout_->addWidget(chkRepeatSongs_, 3, 0, 1, 2);
    choices_layout_->addWidget(lblVideoSound_, 3, 2);
    choices_layout_->addWidget(spnVideoSound_, 3, 3);
    // The merge's pictures in a preview window while it runs.
    chkPreview_ = new QCheckBox(QStringLiteral(" Preview"));
    chkPreview_->setObjectName(QStringLiteral("chkPreview"));
    choices_layout_->addWidget(chkPreview_, 2, 4);
    choices_layout_->setColumnStretch(1, 1);
    choices_layout_->setColumnStretch(3, 1);
    return choices;
}

QWidget* TfrmMain::BuildStatusRow() {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    lblStatus_ = Label("lblStatus", "00:00:00");
    lblStatus_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    lblStatus_->setMinimumWidth(lblStatus_->fontMetrics().horizontalAdvance(
        QStringLiteral("Current Output Size: 000000000; Time: 00:00:00.000")));
    ProgressBar1_ = new QProgressBar;
    ProgressBar1_->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1_->setRange(0, 100);
    ProgressBar1_->setValue(0);
    btnShowLog_ = new QToolButton;
    btnShowLog_->setObjectName(QStringLiteral("btnShowLog"));
    btnShowLog_->setText(QStringLiteral("Show Log"));
    btnShowLog_->setCheckable(true);
    btnShowLog_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    btnShowLog_->setArrowType(Qt::RightArrow);
    layout->addWidget(lblStatus_, 1);
    layout->addWidget(ProgressBar1_, 1);
    layout->addWidget(btnShowLog_);
    return row;
}

QWidget* TfrmMain::BuildBottomRow() {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    share_bar_ = new TShareBar(global_.ProductPageUrl(), seams_.Desktop, nullptr);
    share_bar_->setObjectName(QStringLiteral("shareBar"));
    layout->addWidget(share_bar_);
    layout->addStretch(1);
    btnStart_ = Button("btnStart", "Merge", false);
    QFont bold = btnStart_->font();
    bold.setBold(true);
    btnStart_->setFont(bold);
    btnPause_ = Button("btnPause", "Pause", false);
    btnStop_ = Button("btnStop", "Stop", false);
    btnExit_ = Button("btnExit", "Exit");
    for (QPushButton* button : {btnStart_, btnPause_, btnStop_, btnExit_}) {
        layout->addWidget(button);
    }
    return row;
}

void TfrmMain::ConnectControls() {
    connect(btnAddVideo_, &QPushButton::clicked, this, &TfrmMain::AddVideoClicked);
    connect(btnAddAudio_, &QPushButton::clicked, this, &TfrmMain::AddAudioClicked);
    connect(btnUp_, &QPushButton::clicked, this, &TfrmMain::UpClicked);
    connect(btnDown_, &QPushButton::clicked, this, &TfrmMain::DownClicked);
    connect(btnClear_, &QPushButton::clicked, this, &TfrmMain::ClearClicked);
    connect(btnStart_, &QPushButton::clicked, this, &TfrmMain::MergeClicked);
    connect(btnStop_, &QPushButton::clicked, this, &TfrmMain::StopClicked);
    connect(btnPause_, &QPushButton::clicked, this, &TfrmMain::PauseClicked);
    connect(btnExit_, &QPushButton::clicked, this, &QWidget::close);
    connect(btn_output_, &QPushButton::clicked, this, &TfrmMain::ChooseOutputFolderClicked);
    connect(btn_open_, &QPushButton::clicked, this, &TfrmMain::OpenOutputFolder);
    connect(btnPlay_, &QPushButton::clicked, this, &TfrmMain::PlayClicked);
    connect(btnPlayPause_, &QPushButton::clicked, this, &TfrmMain::PlayPauseClicked);
    connect(btnPlayStop_, &QPushButton::clicked, this, &TfrmMain::PlayStopClicked);
    connect(lvFiles_, &QTreeWidget::itemDoubleClicked, this, [this] {
        if (lvFiles_->currentItem() != nullptr) {
            PlayClicked();
        }
    });
    connect(cboVideoFormat_, &QComboBox::activated, this, &TfrmMain::FormatChosen);
    connect(cboFrameSize_, &QComboBox::activated, this,
            [this](int index) { SettingWritten(settings_.SetFrameSizeIndex(index)); });
    connect(cmbVideoQuality_, &QComboBox::activated, this,
            [this](int index) { SettingWritten(settings_.SetVideoQualityIndex(index)); });
    connect(chkVideoQuality_, &QCheckBox::clicked, this, [this](bool checked) {
        cmbVideoQuality_->setEnabled(checked);
        SettingWritten(settings_.SetUseVideoQuality(checked));
    });
    connect(spnFadeOut_, &QSpinBox::valueChanged, this,
            [this](int seconds) { SettingWritten(settings_.SetFadeOutSeconds(seconds)); });
    connect(chkRepeatSongs_, &QCheckBox::clicked, this,
            [this](bool repeat) { SettingWritten(settings_.SetRepeatSongs(repeat)); });
    connect(chkPreview_, &QCheckBox::clicked, this, [this](bool show) {
        // Also while a merge runs: its tasks' pictures appear or stop.
        OnEncoder([this, show] { encoder_.SetPreview(show); });
        SettingWritten(settings_.SetShowPreview(show));
    });
    connect(spnVideoSound_, &QSpinBox::valueChanged, this,
            [this](int percent) { SettingWritten(settings_.SetVideoSoundPercent(percent)); });
    connect(btnShowLog_, &QToolButton::toggled, this, [this](bool shown) {
        mmoLog_->setVisible(shown);
        btnShowLog_->setArrowType(shown ? Qt::DownArrow : Qt::RightArrow);
        btnShowLog_->setText(shown ? QStringLiteral("Hide Log") : QStringLiteral("Show Log"));
    });
}

// --- Settings ------------------------------------------------------------------

void TfrmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_before_) {
        return;
    }
    shown_before_ = true;
    // The client area below the menu bar opens at its stated size.
    layout()->activate();
    resize(size() + kClientSize - centralWidget()->size());
    if (const QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    setWindowTitle(ProductCaption(" ver"));
    RestoreSettings();
}

QString TfrmMain::ProductCaption(const char* versionWord) const {
    return Q(global_.ProductName() + versionWord + global_.VersionText());
}

void TfrmMain::RestoreSettings() {
    ShowOutputFolder(Q(RestoreOutputFolder(settings_)));
    const TChoiceState state = RestoreChoices(settings_);
    Fill(cboVideoFormat_, FormatNames(), state.FormatIndex);
    FillFrameSizes(state);
    Fill(cmbVideoQuality_, QualityNames(), state.QualityIndex);
    chkVideoQuality_->setChecked(state.UseVideoQuality);
    cmbVideoQuality_->setEnabled(state.QualityListEnabled);
    // Shown without writing them back.
    const QSignalBlocker fadeOutBlocker(spnFadeOut_);
    const QSignalBlocker videoSoundBlocker(spnVideoSound_);
    spnFadeOut_->setValue(settings_.FadeOutSeconds());
    chkRepeatSongs_->setChecked(settings_.RepeatSongs());
    chkPreview_->setChecked(settings_.ShowPreview());
    encoder_.SetPreview(chkPreview_->isChecked());
    spnVideoSound_->setValue(settings_.VideoSoundPercent());
    ApplyFormatRule();
}

void TfrmMain::FillFrameSizes(const TChoiceState& state) {
    Fill(cboFrameSize_, state.FrameSizes, state.FrameSizeIndex);
}

void TfrmMain::FormatChosen(int index) {
    const TChoiceState state = ChangeFormat(settings_, index);
    FillFrameSizes(state);
    ApplyFormatRule();
    if (settings_.OutputFormatIndex() != index) {
        SettingWritten(false);
    }
}

void TfrmMain::SettingWritten(bool ok) {
    if (!ok) {
        LogFailure(QStringLiteral("***The settings could not be saved: ") +
                   Q(settings_.LastErrorText()));
    }
}

void TfrmMain::ShowOutputFolder(const QString& folder) {
    edDirectory_->setText(folder);
}

void TfrmMain::OpenOutputFolder() {
    folder_actions_->OpenOutputFolder();
}

void TfrmMain::ChooseOutputFolderClicked() {
    folder_actions_->ChooseOutputFolder();
}

// --- Control states --------------------------------------------------------------

void TfrmMain::ApplyEnables(const TControlEnables& enables) {
    btnAddVideo_->setEnabled(enables.AddVideo);
    btnAddAudio_->setEnabled(enables.AddAudio);
    btnStart_->setEnabled(enables.Merge);
    btnStop_->setEnabled(enables.MergeStop);
    btnPause_->setEnabled(enables.MergePause);
    btnExit_->setEnabled(enables.Exit);
    btnClear_->setEnabled(enables.Clear);
    btnUp_->setEnabled(enables.Up);
    btnDown_->setEnabled(enables.Down);
    lvFiles_->setEnabled(enables.List);
    btn_output_->setEnabled(enables.ChooseFolder);
    btnPlay_->setEnabled(enables.Play);
    btnPlayStop_->setEnabled(enables.PlayStop);
    btnPlayPause_->setEnabled(enables.PlayPause);
    cboVideoFormat_->setEnabled(enables.FormatList);
    cboFrameSize_->setEnabled(enables.FrameSizeList);
    cmbVideoQuality_->setEnabled(enables.QualityList);
    chkVideoQuality_->setEnabled(enables.QualityBox);
    for (QWidget* choice :
         {static_cast<QWidget*>(spnFadeOut_), static_cast<QWidget*>(chkRepeatSongs_),
          static_cast<QWidget*>(spnVideoSound_)}) {
        choice->setEnabled(enables.MergeChoices);
    }
}

void TfrmMain::ApplyMode(TWindowMode mode) {
    ApplyEnables(
        WithFormatRule(ControlEnablesFor(mode, lvFiles_->isEnabled()), FormatCopiesVideo()));
}

void TfrmMain::ApplyFormatRule() {
    // A merge greys these out anyway; its end applies the rule again.
    if (mode_ != TWindowMode::Idle) {
        return;
    }
    const bool copies = FormatCopiesVideo();
    cboFrameSize_->setEnabled(!copies);
    chkVideoQuality_->setEnabled(!copies);
    cmbVideoQuality_->setEnabled(!copies && chkVideoQuality_->isChecked());
}

bool TfrmMain::FormatCopiesVideo() const {
    return IsOriginalFormat(FormatNameAt(cboVideoFormat_->currentIndex()));
}

void TfrmMain::SetIdleState() {
    const bool leavingMerge = mode_ != TWindowMode::Idle;
    mode_ = TWindowMode::Idle;
    ApplyMode(mode_);
    btnPause_->setText(QStringLiteral("Pause"));
    // The folder is shown once when a merge ends, not again when "Stop"
    // has already returned the window to idle.
    if (leavingMerge && !closing_) {
        OpenOutputFolder();
    }
}

void TfrmMain::SetBusyState() {
    mode_ = TWindowMode::Busy;
    ApplyMode(mode_);
}

void TfrmMain::SetPausedState() {
    mode_ = TWindowMode::Paused;
    ApplyMode(mode_);
}

// --- The log ---------------------------------------------------------------------

void TfrmMain::AppendLog(const QString& line) {
    // Written at the end by hand: appending to an empty log would swallow a
    // leading empty line.
    QTextCursor end(mmoLog_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(log_line_count_ == 0 ? line : QLatin1Char('\n') + line);
    ++log_line_count_;
    if (IsFailureLine(line)) {
        last_failure_line_ = line;
        lblStatus_->setText(FailureText(line));
    }
}

QString TfrmMain::LogText() const {
    return mmoLog_->toPlainText();
}

void TfrmMain::LogFailure(const QString& text) {
    AppendLog(QString());
    AppendLog(text);
    AppendLog(QString());
}

bool TfrmMain::EnsureLibraries(bool report) {
    std::string errorText;
    if (EnsureMediaLibraries({encoder_, decoder_}, errorText)) {
        return true;
    }
    if (report) {
        LogFailure(QStringLiteral("***") + Q(errorText));
    }
    return false;
}

// --- Adding files ----------------------------------------------------------------

void TfrmMain::AddVideoClicked() {
    if (!EnsureLibraries(true)) {
        return;
    }
    const QStringList files = seams_.OpenFiles(this, DialogNameFilters(kVideoFileFilter), false);
    if (files.isEmpty()) {
        return;
    }
    AddVideoFile(files.first());
}

void TfrmMain::AddVideoFile(const QString& path) {
    if (!EnsureLibraries(true)) {
        return;
    }
    edtVideoFile_->setText(path);
    if (!decoder_.LoadFile(S(path))) {
        LogFailure(QStringLiteral("***File load error: ") + path + QStringLiteral(": ") +
                   Q(decoder_.LastErrorText()));
        return;
    }
    last_opened_file_ = path;
    TFileStreamInfo info;
    decoder_.GetFileStreamInfo(info);
    lblDuration_->setText(Q(FormatDuration(std::max<std::int64_t>(info.Duration, 0))));
}

void TfrmMain::AddAudioClicked() {
    if (!EnsureLibraries(true)) {
        return;
    }
    const QStringList files = seams_.OpenFiles(this, DialogNameFilters(kAudioFileFilter), true);
    if (!files.isEmpty()) {
        AddAudioFiles(files);
    }
}

void TfrmMain::AddAudioFiles(const QStringList& paths) {
    if (paths.isEmpty() || !EnsureLibraries(true)) {
        return;
    }
    const QString statusBefore = lblStatus_->text();
    for (const QString& path : paths) {
        std::int64_t duration = 0;
        if (decoder_.LoadFile(S(path))) {
            TFileStreamInfo info;
            decoder_.GetFileStreamInfo(info);
            duration = std::max<std::int64_t>(info.Duration, 0);
        }
        auto* row = new QTreeWidgetItem(lvFiles_, {path, Q(FormatDuration(duration))});
        row->setToolTip(0, path);
        if (paths.size() > 1) {
            // Many files keep the window drawing and the status current.
            lblStatus_->setText(QStringLiteral("Adding %1 of %2")
                                    .arg(lvFiles_->indexOfTopLevelItem(row) + 1)
                                    .arg(lvFiles_->topLevelItemCount()));
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        }
    }
    lblStatus_->setText(statusBefore);

    const QString& first = paths.first();
    if (!decoder_.LoadFile(S(first))) {
        LogFailure(QStringLiteral("***File load error: ") + Q(decoder_.LastErrorText()));
        return;
    }
    last_opened_file_ = first;
    for (const std::string& line : OpenedFileReportLines(decoder_)) {
        AppendLog(Q(line));
    }
    if (decoder_.AudioStreamCount() > 0) {
        setWindowTitle(ProductCaption(" ver") + QLatin1Char(' ') + last_opened_file_);
        btnStart_->setEnabled(true);
        btnStart_->setFocus();
        for (QPushButton* button :
             {btnAddAudio_, btnUp_, btnDown_, btnPlay_, btnPlayStop_, btnPlayPause_, btnClear_}) {
            button->setEnabled(true);
        }
    }
    decoder_.CloseFile();
}

void TfrmMain::DropFiles(const QStringList& paths) {
    // Nothing changes the merge's files while it runs.
    if (mode_ != TWindowMode::Idle || paths.isEmpty() || !EnsureLibraries(false)) {
        return;
    }
    QString video;
    QStringList audio;
    for (const QString& path : paths) {
        if (QFileInfo(path).isDir()) {
            LogFailure(QStringLiteral("***A folder cannot be added, only files: ") + path);
            continue;
        }
        if (!decoder_.LoadFile(S(path))) {
            LogFailure(QStringLiteral("***File load error: ") + path + QStringLiteral(": ") +
                       Q(decoder_.LastErrorText()));
            continue;
        }
        const bool hasVideo = HasMovingVideo(decoder_);
        decoder_.CloseFile();
        if (hasVideo && video.isEmpty()) {
            video = path;
        } else {
            audio << path;
        }
    }
    if (!video.isEmpty()) {
        AddVideoFile(video);
        setWindowTitle(ProductCaption(" Ver") + QLatin1Char(' ') + video);
        btnStart_->setEnabled(true);
        btnStart_->setFocus();
    }
    AddAudioFiles(audio);
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && mode_ == TWindowMode::Idle) {
        event->acceptProposedAction();
    }
}

void TfrmMain::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            paths << url.toLocalFile();
        }
    }
    event->acceptProposedAction();
    DropFiles(paths);
}

// --- The list --------------------------------------------------------------------

QStringList TfrmMain::AudioRows() const {
    QStringList rows;
    for (int i = 0; i < lvFiles_->topLevelItemCount(); ++i) {
        rows << lvFiles_->topLevelItem(i)->text(0);
    }
    return rows;
}

void TfrmMain::MoveSelectedRow(int step) {
    const int count = lvFiles_->topLevelItemCount();
    QTreeWidgetItem* selected = lvFiles_->currentItem();
    if (count < 2 || selected == nullptr || !selected->isSelected()) {
        return;
    }
    const int from = lvFiles_->indexOfTopLevelItem(selected);
    const int to = from + step;
    if (to < 0 || to >= count) {
        return;
    }
    QTreeWidgetItem* other = lvFiles_->topLevelItem(to);
    for (int column = 0; column < 2; ++column) {
        const QString text = selected->text(column);
        selected->setText(column, other->text(column));
        other->setText(column, text);
    }
    selected->setToolTip(0, selected->text(0));
    other->setToolTip(0, other->text(0));
    lvFiles_->setCurrentItem(other);
}

void TfrmMain::UpClicked() {
    MoveSelectedRow(-1);
}

void TfrmMain::DownClicked() {
    MoveSelectedRow(1);
}

void TfrmMain::ClearClicked() {
    lvFiles_->clear();
    for (QPushButton* button : {btnStart_, btnStop_, btnPause_, btnUp_, btnDown_, btnPlay_,
                                btnPlayStop_, btnPlayPause_, btnClear_}) {
        button->setEnabled(false);
    }
    btnAddAudio_->setEnabled(true);
}

// --- Merging ---------------------------------------------------------------------

void TfrmMain::MergeClicked() {
    if (merging_) {
        return;
    }
    const TMergeSource source = MergeSourceFromControls();
    merging_ = true;
    error_box_shown_ = false;
    last_failure_line_.clear();
    ProgressBar1_->setValue(0);
    const TMergeResult result = job_->Merge(source);
    merging_ = false;
    if (job_->StopRequested()) {
        // A stop that came after the merge had tidied up must not end the
        // next merge before it begins: a fresh job has no such request.
        job_ = MakeMergeJob();
    }
    if (!closing_) {
        MergeEnded(result);
    }
}

TMergeSource TfrmMain::MergeSourceFromControls() const {
    TMergeSource source;
    source.VideoFile = S(edtVideoFile_->text());
    for (const QString& row : AudioRows()) {
        source.AudioFiles.push_back(S(row));
    }
    source.Choices.FormatIndex = cboVideoFormat_->currentIndex();
    source.Choices.FrameSizeIndex = cboFrameSize_->currentIndex();
    source.Choices.QualityIndex = cmbVideoQuality_->currentIndex();
    source.Choices.UseVideoQuality = chkVideoQuality_->isChecked();
    source.Choices.ProcessorCount = GetProcessorCount();
    source.Choices.FadeOutSeconds = spnFadeOut_->value();
    source.Choices.RepeatSongs = chkRepeatSongs_->isChecked();
    source.Choices.VideoSoundPercent = spnVideoSound_->value();
    return source;
}

void TfrmMain::MergeEnded(const TMergeResult& result) {
    // A folder that could not be made was replaced by the default one.
    ShowOutputFolder(Q(settings_.OutputDir()));
    switch (result.Outcome) {
        case TMergeOutcome::NoLibraries:
            LogFailure(QStringLiteral("***") + Q(result.ErrorText));
            break;
        case TMergeOutcome::NotStarted:
            LogFailure(QStringLiteral("***Video file open error: ") + edtVideoFile_->text() +
                       QStringLiteral(": ") + Q(result.ErrorText));
            break;
        case TMergeOutcome::Failed:
            break;
        case TMergeOutcome::Finished:
            // The last report may fall a frame short of the video's end.
            ProgressBar1_->setValue(100);
            return;
        case TMergeOutcome::Stopped:
            return;
    }
    // A merge that ends on a failure says why in a box, unless the task's
    // own error box said it already.
    if (!error_box_shown_ && !last_failure_line_.isEmpty()) {
        seams_.ShowMessage(this, TMessageKind::Warning, QLatin1String(kApplicationTitle),
                           FailureText(last_failure_line_));
    }
}

void TfrmMain::StopClicked() {
    // Only a running merge is asked to stop: the job keeps a request made
    // between merges for the next one.
    if (!merging_) {
        return;
    }
    job_->Stop();
    SetIdleState();
}

void TfrmMain::PauseClicked() {
    OnEncoder([this] {
        if (encoder_.Paused()) {
            encoder_.Resume();
            btnPause_->setText(QStringLiteral("Pause"));
            SetBusyState();
        } else if (encoder_.Working()) {
            encoder_.Pause();
            btnPause_->setText(QStringLiteral("Resume"));
            SetPausedState();
        }
    });
}

void TfrmMain::OnEncoder(const std::function<void()>& call) {
    if (job_) {
        job_->WithEncoder(call);
    } else {
        call();
    }
}

void TfrmMain::ShowProgress(std::int64_t percent, const TProgressInfo& info) {
    lblStatus_->setText(QString::asprintf("Current Output Size: %lld; Time: %s",
                                          static_cast<long long>(info.CurrentSize),
                                          FormatDuration(info.CurrentDuration).c_str()));
    ProgressBar1_->setValue(static_cast<int>(std::clamp<std::int64_t>(percent, 0, 100)));
}

void TfrmMain::ShowTaskError(const QString& message) {
    error_box_shown_ = true;
    lblStatus_->setText(message);
    seams_.ShowMessage(this, TMessageKind::Warning, QLatin1String(kApplicationTitle), message);
}

// --- The audio preview -------------------------------------------------------------

void TfrmMain::ConnectPreview() {
    TWindowPreview::Hooks hooks;
    hooks.Log = [this](const std::string& line) { AppendLog(Q(line)); };
    hooks.StopEncoder = [this] { OnEncoder([this] { encoder_.Stop(true); }); };
    hooks.ControlsChanged = [this] { ApplyPreviewControls(); };
    hooks.Position = [this](const std::string& text) { lblStatus_->setText(Q(text)); };
    preview_ = std::make_unique<TWindowPreview>(std::move(hooks));
}

void TfrmMain::ApplyPreviewControls() {
    // The preview's own states switch the buttons of an idle window only: a
    // stop of the player that arrives late must not enable "Merge" or turn
    // off "Stop" while a merge runs. Its end gives idle buttons anyway.
    if (mode_ != TWindowMode::Idle || merging_) {
        return;
    }
    const TWindowPreview::Controls controls = preview_->Current();
    btnAddVideo_->setEnabled(controls.AddVideo);
    btnAddAudio_->setEnabled(controls.AddAudio);
    btnStart_->setEnabled(controls.Merge);
    btnStop_->setEnabled(controls.MergeStop);
    btnPause_->setEnabled(controls.MergePause);
    btnClear_->setEnabled(controls.Clear);
    lvFiles_->setEnabled(controls.List);
    btnPlayStop_->setEnabled(controls.PlayStop);
    btnPlayPause_->setEnabled(controls.PlayPause);
    btnPlayPause_->setText(Q(controls.PauseCaption));
}

void TfrmMain::PlayClicked() {
    QTreeWidgetItem* current = lvFiles_->currentItem();
    const int selected =
        current != nullptr && current->isSelected() ? lvFiles_->indexOfTopLevelItem(current) : -1;
    std::vector<std::string> rows;
    for (const QString& row : AudioRows()) {
        rows.push_back(S(row));
    }
    if (rows.empty()) {
        return;
    }
    // The picture, if any, goes into the panel on an X11 desktop; elsewhere
    // the player makes no window for a song.
    const uintptr_t panel = QGuiApplication::platformName() == QLatin1String("xcb")
                                ? static_cast<uintptr_t>(Panel1_->winId())
                                : 0;
    preview_->Play(rows, selected, panel);
    ApplyPreviewControls();
}

void TfrmMain::PlayPauseClicked() {
    preview_->PauseClicked();
    ApplyPreviewControls();
}

void TfrmMain::PlayStopClicked() {
    preview_->StopClicked();
    ApplyPreviewControls();
}

// --- Closing ---------------------------------------------------------------------

void TfrmMain::closeEvent(QCloseEvent* event) {
    // Asked first: answering No leaves a running merge and its events as
    // they are.
    if (!seams_.AskYesNo(this, QStringLiteral("Warning"),
                         QStringLiteral("Do you really want to exit?"))) {
        event->ignore();
        return;
    }
    closing_ = true;
    preview_->Detach();
    if (merging_) {
        job_->Stop();
    }
    OnEncoder([this] {
        job_->DetachEvents();
        encoder_.Stop(true);
    });
    event->accept();
}

}  // namespace tavrin

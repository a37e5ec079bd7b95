// The main window: the video file, the ordered list of audio files with
// their durations, the output folder and the format, size and quality
// choices; "Merge" runs the merge job of app/core on the window's encoder,
// and the window shows its progress, its log lines and its errors.
//
// Threads: the window and everything it owns live on the main thread. The
// encoder's events reach the merge job there, while the job's wait loops
// keep Qt's events flowing (so "Stop" and "Pause" work during a merge).
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>

#include "app/core/global_object.h"
#include "app/core/merge_job.h"
#include "app/core/settings.h"
#include "app/gui/about_window.h"
#include "app/gui/folder_chooser.h"
#include "app/gui/output_folder_actions.h"
#include "app/gui/window_preview.h"
#include "app/gui/window_seams.h"
#include "app/gui/window_states.h"
#include "media/encoder/custom_encoder.h"
#include "media/probe/decoder_component.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QSpinBox;
class QPushButton;
class QToolButton;
class QTreeWidget;

namespace tavrin {

class TfrmMain final : public QMainWindow {
    Q_OBJECT
public:
    explicit TfrmMain(TWindowSeams seams = DesktopSeams(), QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Control states.
    void SetIdleState();
    void SetBusyState();
    void SetPausedState();
    TWindowMode Mode() const { return mode_; }
    bool Merging() const { return merging_; }

    // The handlers, as the buttons run them.
    void AddVideoClicked();
    void AddAudioClicked();
    void UpClicked();
    void DownClicked();
    void ClearClicked();
    void MergeClicked();
    // What "Merge" hands to the merge job: the video box, the list's files in
    // order and every choice as its control shows it.
    TMergeSource MergeSourceFromControls() const;
    void StopClicked();
    void PauseClicked();
    // The audio preview: "Play" (or a double click on a row), its "Pause"
    // and its "Stop".
    void PlayClicked();
    void PlayPauseClicked();
    void PlayStopClicked();
    // What "Add Video" and "Add Audio" do with the chosen files.
    void AddVideoFile(const QString& path);
    void AddAudioFiles(const QStringList& paths);
    // Files dropped on the window: the first with a video stream goes to the
    // video box, the others to the audio list.
    void DropFiles(const QStringList& paths);

    // Appends a line to the log; a failure line ("***...") is also shown in
    // the status label.
    void AppendLog(const QString& line);
    QString LogText() const;
    const QString& LastOpenedFile() const { return last_opened_file_; }

    // Pieces that the folder chooser, the menus and the share buttons are
    // wired to.
    QPushButton* ChooseFolderButton() const { return btn_output_; }
    QPushButton* OpenFolderButton() const { return btn_open_; }
    QLineEdit* OutputFolderBox() const { return edDirectory_; }
    // The share bar: the "Share:" label and the share buttons.
    QWidget* ShareBar() const { return share_bar_; }
    // The output choices' grid (label in column 0, control in 1, two pairs a
    // row); more merge choices go into new rows.
    QGridLayout* ChoicesLayout() const { return choices_layout_; }
    // The player's display panel.
    QWidget* PlayerPanel() const { return Panel1_; }
    // Shows a folder chosen elsewhere (the chooser stores it in the settings).
    void ShowOutputFolder(const QString& folder);
    // "Open": the stored output folder in the desktop's file manager.
    void OpenOutputFolder();
    // "...": the folder chooser, and the chosen folder stored by its rules.
    void ChooseOutputFolderClicked();
    TfrmAbout1& AboutWindow() { return *about_; }

    TGlobalObject& Global() { return global_; }
    TSettings& Settings() { return settings_; }
    TZOZovadod& Encoder() { return encoder_; }
    const TMergeJob& Job() const { return *job_; }
    TWindowPreview& Preview() { return *preview_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildControls();
    QWidget* BuildVideoGroup();
    QWidget* BuildAudioGroup();
    QWidget* BuildChoices();
    QWidget* BuildStatusRow();
    QWidget* BuildBottomRow();
    void ConnectControls();
    std::unique_ptr<TMergeJob> MakeMergeJob();
    // Runs a call on the encoder now, or once the merge's open that uses it
    // on a worker returns.
    void OnEncoder(const std::function<void()>& call);

    void ApplyEnables(const TControlEnables& enables);
    // The enables of a mode with the chosen format's rule.
    void ApplyMode(TWindowMode mode);
    bool FormatCopiesVideo() const;
    // Idle: greys out the frame size and quality for a format that copies the
    // video; otherwise the quality list follows its box.
    void ApplyFormatRule();
    void RestoreSettings();
    void FillFrameSizes(const struct TChoiceState& state);
    void FormatChosen(int index);
    void SettingWritten(bool ok);
    // Loads the media libraries for the encoder and the decoder; a failure
    // is logged when report is set.
    bool EnsureLibraries(bool report);
    // An empty line, the text, an empty line.
    void LogFailure(const QString& text);
    void ShowProgress(std::int64_t percent, const TProgressInfo& info);
    void ShowTaskError(const QString& message);
    void MergeEnded(const TMergeResult& result);
    void MoveSelectedRow(int step);
    QStringList AudioRows() const;
    QString ProductCaption(const char* versionWord) const;
    void ConnectPreview();
    // Shows what the audio preview enables and its "Pause" caption.
    void ApplyPreviewControls();

    TWindowSeams seams_;
    TGlobalObject global_;
    TSettings settings_;
    TZOZovadod encoder_;
    TVEVarazez decoder_;
    std::unique_ptr<TWindowPreview> preview_;
    std::unique_ptr<TMergeJob> job_;
    std::unique_ptr<TfmDirectory> chooser_;
    std::unique_ptr<TfrmAbout1> about_;
    std::unique_ptr<TOutputFolderActions> folder_actions_;

    TWindowMode mode_ = TWindowMode::Idle;
    bool merging_ = false;
    bool closing_ = false;
    bool shown_before_ = false;
    bool error_box_shown_ = false;
    int log_line_count_ = 0;
    QString last_failure_line_;
    QString last_opened_file_;

    // Controls, named as the window's design names them.
    QPushButton* btnStart_ = nullptr;
    QPushButton* btnStop_ = nullptr;
    QPushButton* btnPause_ = nullptr;
    QPushButton* btnExit_ = nullptr;
    QLabel* lbl2_ = nullptr;
    QLineEdit* edDirectory_ = nullptr;
    QPushButton* btn_output_ = nullptr;
    QPushButton* btn_open_ = nullptr;
    QLabel* lbl1_ = nullptr;
    QComboBox* cboFrameSize_ = nullptr;
    QLabel* Label1_ = nullptr;
    QComboBox* cboVideoFormat_ = nullptr;
    QCheckBox* chkVideoQuality_ = nullptr;
    QComboBox* cmbVideoQuality_ = nullptr;
    QLabel* lblFadeOut_ = nullptr;
    QSpinBox* spnFadeOut_ = nullptr;
    QCheckBox* chkRepeatSongs_ = nullptr;
    QLabel* lblVideoSound_ = nullptr;
    QSpinBox* spnVideoSound_ = nullptr;
    QCheckBox* chkPreview_ = nullptr;
    QGroupBox* grpAddVideo_ = nullptr;
    QPushButton* btnAddVideo_ = nullptr;
    QLineEdit* edtVideoFile_ = nullptr;
    QLabel* Label2_ = nullptr;
    QLabel* lblDuration_ = nullptr;
    QGroupBox* grpAudio_ = nullptr;
    QPushButton* btnAddAudio_ = nullptr;
    QPushButton* btnUp_ = nullptr;
    QPushButton* btnDown_ = nullptr;
    QPushButton* btnClear_ = nullptr;
    QPushButton* btnPlay_ = nullptr;
    QPushButton* btnPlayStop_ = nullptr;
    QPushButton* btnPlayPause_ = nullptr;
    QWidget* Panel1_ = nullptr;
    QTreeWidget* lvFiles_ = nullptr;
    QLabel* lblStatus_ = nullptr;
    QProgressBar* ProgressBar1_ = nullptr;
    QToolButton* btnShowLog_ = nullptr;
    QPlainTextEdit* mmoLog_ = nullptr;
    QWidget* share_bar_ = nullptr;
    QGridLayout* choices_layout_ = nullptr;
};

}  // namespace tavrin

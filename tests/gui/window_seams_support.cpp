#include "window_seams_support.h"

#include <QDir>

#include "app/gui/qt_dispatcher.h"
#include "media/runtime/main_thread.h"

namespace tavrin::testing {

TWindowSeams FakeSeams(const std::shared_ptr<TFakeDesktop>& desktop) {
    TWindowSeams seams;
    seams.OpenFiles = [desktop](QWidget*, const QStringList& nameFilters, bool multiple) {
        ++desktop->DialogsShown;
        desktop->LastNameFilters = nameFilters;
        desktop->LastMultiple = multiple;
        return desktop->NextFiles;
    };
    seams.ShowMessage = [desktop](QWidget*, TMessageKind kind, const QString& title,
                                  const QString& text) {
        desktop->Messages.push_back({kind, title, text});
    };
    seams.AskYesNo = [desktop](QWidget*, const QString&, const QString& text) {
        desktop->Questions << text;
        return desktop->AnswerYes;
    };
    seams.OpenFolder = [desktop](const QString& folder) { desktop->OpenedFolders << folder; };
    return seams;
}

QString QPath(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

void StartWindowRuntime() {
    InitMainThread();
    InstallQtDispatcher();
}

void StopWindowRuntime() {
    SetMainThreadDispatcher(nullptr);
    ShutdownMainThread();
}

void UseOwnHome(const QString& folder) {
    QDir().mkpath(folder);
    qputenv("HOME", folder.toUtf8());
    qputenv("XDG_CONFIG_HOME", (folder + QStringLiteral("/config")).toUtf8());
}

}  // namespace tavrin::testing

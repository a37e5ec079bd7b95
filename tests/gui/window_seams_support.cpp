#include "window_seams_support.h"

#include <QDir>
#include <QUrl>

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
    seams.Desktop.openUrl = [desktop](const QUrl& url) {
        if (url.isLocalFile()) {
            desktop->OpenedFolders << url.toLocalFile();
        } else {
            desktop->OpenedUrls << url;
        }
    };
    seams.Desktop.showMessage = [desktop](QWidget*, const QString& title, const QString& text,
                                          TMessageIcon icon) {
        desktop->Messages.push_back(
            {icon == TMessageIcon::Warning ? TMessageKind::Warning : TMessageKind::Information,
             title, text});
    };
    seams.ChooseFolder = [desktop](QWidget*) { return desktop->NextFolder; };
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

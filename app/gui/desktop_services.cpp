#include "app/gui/desktop_services.h"

#include <QDesktopServices>
#include <QMessageBox>

namespace tavrin {

TDesktopServices SystemDesktopServices() {
    TDesktopServices services;
    services.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    services.showMessage = [](QWidget* parent, const QString& title, const QString& text,
                              TMessageIcon icon) {
        if (icon == TMessageIcon::Information) {
            QMessageBox::information(parent, title, text);
        } else {
            QMessageBox::warning(parent, title, text);
        }
    };
    return services;
}

}  // namespace tavrin

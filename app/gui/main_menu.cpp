#include "app/gui/main_menu.h"

#include <QMenu>
#include <QMenuBar>

#include "app/core/about_text.h"
#include "app/core/product_links.h"

namespace tavrin {

namespace {

QString FromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Menu captions are shown as written: "&" would otherwise mark a shortcut.
QString Plain(QString caption) {
    return caption.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

void AddPageEntries(QMenu& menu, std::span<const TMenuLink> links,
                    const TDesktopServices& services) {
    for (const TMenuLink& link : links) {
        const QUrl address(FromView(link.address));
        QObject::connect(menu.addAction(Plain(FromView(link.caption))), &QAction::triggered, &menu,
                         [open = services.openUrl, address] { open(address); });
    }
}

}  // namespace

void FillMainMenu(QMenuBar& bar, const TGlobalObject& global, const TDesktopServices& services,
                  std::function<void()> showAbout) {
    bar.setObjectName(QStringLiteral("mmMain"));
    AddPageEntries(*bar.addMenu(QStringLiteral("Related software")), RelatedSoftwareLinks(),
                   services);
    AddPageEntries(*bar.addMenu(QStringLiteral(" Freeware Downlaod")), FreewareDownloadLinks(),
                   services);

    QObject::connect(bar.addAction(QStringLiteral("About")), &QAction::triggered, &bar,
                     [showAbout = std::move(showAbout)] { showAbout(); });
    const QUrl help(FromView(HelpPageUrl()));
    QObject::connect(bar.addAction(QStringLiteral(" Help ")), &QAction::triggered, &bar,
                     [open = services.openUrl, help] { open(help); });

    const QString page = QString::fromStdString(global.ProductPageUrl());
    const std::string host = AboutHost(global.ProductPageUrl());
    const QString caption = host.empty() ? page : QString::fromStdString(host);
    QObject::connect(bar.addAction(Plain(caption)), &QAction::triggered, &bar,
                     [open = services.openUrl, address = QUrl(page)] { open(address); });
}

}  // namespace tavrin

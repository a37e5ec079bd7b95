// Records what the windows hand to the desktop (addresses to open, message
// boxes) instead of launching programs or blocking in a modal box.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <vector>

#include "app/gui/desktop_services.h"

namespace tavrin::testing {

struct TRecordedMessage {
    QString title;
    QString text;
    TMessageIcon icon;
};

class TDesktopRecorder {
public:
    TDesktopServices Services() {
        return {[this](const QUrl& url) { urls.push_back(url); },
                [this](QWidget*, const QString& title, const QString& text, TMessageIcon icon) {
                    messages.push_back({title, text, icon});
                }};
    }

    std::vector<QUrl> urls;
    std::vector<TRecordedMessage> messages;
};

}  // namespace tavrin::testing

// What the small windows hand to the desktop or ask of the user in a modal
// box: opening an address or folder with the desktop's programs, and message
// boxes. Tests replace both, so nothing blocks and nothing is launched.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>

class QWidget;

namespace tavrin {

// The application title: the caption of the information boxes.
inline constexpr char kApplicationTitle[] = "Tavrin";
inline constexpr char kWarningTitle[] = "Warning";

enum class TMessageIcon { Information, Warning };

struct TDesktopServices {
    // Failures to open are ignored: the desktop reports them itself.
    std::function<void(const QUrl&)> openUrl;
    // A modal box with an OK button.
    std::function<void(QWidget* parent, const QString& title, const QString& text,
                       TMessageIcon icon)>
        showMessage;
};

// QDesktopServices::openUrl (xdg-open) and QMessageBox.
TDesktopServices SystemDesktopServices();

}  // namespace tavrin

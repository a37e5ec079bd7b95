// Renders a window into docs/images when TAVRIN_PICTURE_DIR names a folder:
// run a window test's renderPicture under Xvfb with the xcb platform, as in
//   TAVRIN_PICTURE_DIR=docs/images QT_QPA_PLATFORM=xcb xvfb-run -a
//   -s "-screen 0 1280x1024x24" build/release/tests/gui/<program> renderPicture
#pragma once

#include <QString>
#include <QWidget>

namespace tavrin::testing {

// The folder pictures go to; empty when none are wanted.
inline QString PictureFolder() {
    return qEnvironmentVariable("TAVRIN_PICTURE_DIR");
}

// Saves the shown window as <folder>/<name>; false when it cannot be written.
inline bool SaveWindowPicture(QWidget& window, const QString& name) {
    return window.grab().save(PictureFolder() + "/" + name, "PNG");
}

}  // namespace tavrin::testing

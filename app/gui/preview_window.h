// The preview window of a running task: a small always-on-top tool window,
// built in code, centred on the screen, its client area sized once to the
// first picture; the caption shows the picture's time; a press of the left
// button anywhere in it moves it like its title bar. Closing it ends that
// task's preview (the task goes on converting).
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "media/encoder/previewer.h"

namespace tavrin {

// The picture as a Qt image (a deep copy), in any of the bitmap formats.
QImage ImageOfBitmap(const TBitmap& bitmap);

class TPreviewerForm final : public QWidget {
    Q_OBJECT

public:
    TPreviewerForm(int width, int height, std::function<void()> on_close);

    void SetPicture(const QImage& picture);
    const QImage& Picture() const { return picture_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    std::function<void()> on_close_;
    QImage picture_;
    QPoint drag_offset_;
    bool dragging_ = false;
};

// The factory that an encoder's PreviewViewFactory takes in a windowed
// program: every view is a TPreviewerForm.
TPreviewViewFactory MakePreviewViewFactory();

}  // namespace tavrin

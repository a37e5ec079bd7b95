#include "app/gui/preview_window.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>
#include <utility>

namespace tavrin {

namespace {

// The 3:3:2 palette of 8-bit bitmaps: blue in the top two bits, then green,
// then red.
QList<QRgb> Palette332() {
    QList<QRgb> colours;
    colours.reserve(256);
    for (int value = 0; value < 256; ++value) {
        const int red = (value & 0x07) * 255 / 7;
        const int green = ((value >> 3) & 0x07) * 255 / 7;
        const int blue = ((value >> 6) & 0x03) * 255 / 3;
        colours.push_back(qRgb(red, green, blue));
    }
    return colours;
}

QImage::Format QtFormatOf(TBitmapPixelFormat format) {
    switch (format) {
        case TBitmapPixelFormat::pf8bit:
            return QImage::Format_Indexed8;
        case TBitmapPixelFormat::pf15bit:
            return QImage::Format_RGB555;
        case TBitmapPixelFormat::pf16bit:
            return QImage::Format_RGB16;
        case TBitmapPixelFormat::pf24bit:
            return QImage::Format_BGR888;
        case TBitmapPixelFormat::pf32bit:
            break;
    }
    // bgra bytes are a little-endian 0xAARRGGBB word; the alpha is unused.
    return QImage::Format_RGB32;
}

class TPreviewFormView final : public TPreviewView {
public:
    TPreviewFormView(int width, int height, std::function<void()> on_close)
        : form_(std::make_unique<TPreviewerForm>(width, height, std::move(on_close))) {
        form_->show();
    }
    void SetCaption(const std::string& caption) override {
        form_->setWindowTitle(QString::fromStdString(caption));
    }
    void Draw(const TBitmap& picture) override { form_->SetPicture(ImageOfBitmap(picture)); }

private:
    std::unique_ptr<TPreviewerForm> form_;
};

}  // namespace

QImage ImageOfBitmap(const TBitmap& bitmap) {
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0) {
        return {};
    }
    const QImage view(bitmap.ScanLine(0), bitmap.Width(), bitmap.Height(), bitmap.BytesPerRow(),
                      QtFormatOf(bitmap.PixelFormat()));
    QImage copy = view.copy();
    if (bitmap.PixelFormat() == TBitmapPixelFormat::pf8bit) {
        copy.setColorTable(Palette332());
    }
    return copy;
}

TPreviewerForm::TPreviewerForm(int width, int height, std::function<void()> on_close)
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint |
                           Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      on_close_(std::move(on_close)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFixedSize(width, height);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width / 2, height / 2));
    }
}

void TPreviewerForm::SetPicture(const QImage& picture) {
    picture_ = picture;
    update();
}

void TPreviewerForm::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.drawImage(QPoint(0, 0), picture_);
}

void TPreviewerForm::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // The window system moves it like a title bar drag where it can; else
    // the window follows the mouse itself.
    if (windowHandle() != nullptr && windowHandle()->startSystemMove()) {
        return;
    }
    dragging_ = true;
    drag_offset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void TPreviewerForm::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_ && (event->buttons() & Qt::LeftButton) != 0) {
        move(event->globalPosition().toPoint() - drag_offset_);
        return;
    }
    dragging_ = false;
    QWidget::mouseMoveEvent(event);
}

void TPreviewerForm::closeEvent(QCloseEvent* event) {
    if (on_close_) {
        on_close_();
    }
    event->accept();
}

TPreviewViewFactory MakePreviewViewFactory() {
    return [](int width, int height, std::function<void()> on_close) {
        return std::unique_ptr<TPreviewView>(
            std::make_unique<TPreviewFormView>(width, height, std::move(on_close)));
    };
}

}  // namespace tavrin

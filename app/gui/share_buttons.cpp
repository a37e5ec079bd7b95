#include "app/gui/share_buttons.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <array>

#include "app/core/product_links.h"

namespace tavrin {

namespace {

constexpr QSize kButtonSize(32, 32);

struct TBadge {
    const char* mark;
    QColor colour;
};

// Our own badges, one per share address in its order: the site's first
// letters on a colour of our choosing.
const std::array<TBadge, 7> kBadges = {{
    {"Fb", QColor(59, 89, 152)},
    {"Gc", QColor(52, 128, 72)},
    {"X", QColor(20, 20, 20)},
    {"Dg", QColor(40, 110, 170)},
    {"Di", QColor(80, 80, 80)},
    {"HN", QColor(240, 100, 20)},
    {"Re", QColor(230, 90, 20)},
}};

}  // namespace

TImageButton::TImageButton(TButtonPictures pictures, QWidget* parent)
    : QAbstractButton(parent), pictures_(std::move(pictures)) {
    setFixedSize(kButtonSize);
    setCursor(Qt::PointingHandCursor);
}

TImageButton::TFace TImageButton::CurrentFace() const {
    if (isDown()) {
        return TFace::Pressed;
    }
    return hovered_ ? TFace::Hover : TFace::Normal;
}

const QPixmap& TImageButton::Picture(TFace face) const {
    switch (face) {
        case TFace::Hover:
            return pictures_.hover;
        case TFace::Pressed:
            return pictures_.pressed;
        case TFace::Normal:
            break;
    }
    return pictures_.normal;
}

QSize TImageButton::sizeHint() const {
    return kButtonSize;
}

void TImageButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(rect(), Picture(CurrentFace()));
}

void TImageButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void TImageButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

TShareBar::TShareBar(const std::string& productPageUrl, TDesktopServices services, QWidget* parent)
    : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto* label = new QLabel(QStringLiteral("Share:"), this);
    label->setObjectName(QStringLiteral("lblShare"));
    layout->addWidget(label);

    const std::vector<TShareLink> links = ShareLinks(productPageUrl);
    for (std::size_t i = 0; i < links.size(); ++i) {
        const TBadge& badge = kBadges.at(i);
        auto* button = new TImageButton(
            DrawBadgePictures(QString::fromLatin1(badge.mark), badge.colour), this);
        const QString hint = QString::fromStdString(links[i].hint);
        button->setToolTip(hint);
        button->setAccessibleName(hint);
        const QUrl address(QString::fromStdString(links[i].address));
        connect(button, &QAbstractButton::clicked, this,
                [open = services.openUrl, address] { open(address); });
        layout->addWidget(button);
        buttons_.push_back(button);
    }
    layout->addStretch();
}

}  // namespace tavrin

#include "app/gui/drawn_pictures.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>

namespace tavrin {

namespace {

constexpr int kBadgeSize = 32;

QPixmap TransparentPixmap(int width, int height) {
    QPixmap pixmap(width, height);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

QPixmap DrawBadge(const QString& mark, const QColor& fill, int inset) {
    QPixmap pixmap = TransparentPixmap(kBadgeSize, kBadgeSize);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF circle(1 + inset, 1 + inset, kBadgeSize - 2 - 2 * inset,
                        kBadgeSize - 2 - 2 * inset);
    painter.setPen(QPen(fill.darker(150), 1));
    painter.setBrush(fill);
    painter.drawEllipse(circle);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(mark.size() > 1 ? 12 : 16);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(circle.translated(inset, inset), Qt::AlignCenter, mark);
    return pixmap;
}

}  // namespace

QPixmap DrawProductIcon() {
    QPixmap pixmap = TransparentPixmap(37, 35);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    // A film frame with sprocket holes along both edges.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(45, 62, 96));
    painter.drawRoundedRect(QRectF(1, 3, 35, 29), 4, 4);
    painter.setBrush(Qt::white);
    for (int x = 4; x < 34; x += 6) {
        painter.drawRect(QRectF(x, 5, 3, 3));
        painter.drawRect(QRectF(x, 27, 3, 3));
    }
    painter.setBrush(QColor(226, 230, 246));
    painter.drawRect(QRectF(4, 10, 29, 15));
    // A note on the picture: the sound that joins the video.
    painter.setBrush(QColor(214, 90, 40));
    painter.drawEllipse(QRectF(12, 18, 6, 5));
    painter.drawEllipse(QRectF(21, 16, 6, 5));
    painter.setPen(QPen(QColor(214, 90, 40), 1.6));
    painter.drawLine(QPointF(17.4, 20.5), QPointF(17.4, 12));
    painter.drawLine(QPointF(26.4, 18.5), QPointF(26.4, 10.5));
    painter.drawLine(QPointF(17.4, 12), QPointF(26.4, 10.5));
    return pixmap;
}

TButtonPictures DrawBadgePictures(const QString& mark, const QColor& colour) {
    return {DrawBadge(mark, colour, 0), DrawBadge(mark, colour.lighter(135), 0),
            DrawBadge(mark, colour.darker(140), 1)};
}

}  // namespace tavrin

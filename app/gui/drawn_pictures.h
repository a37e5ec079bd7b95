// Pictures the program draws itself: the product's icon and the three faces
// of each share button. Nothing is loaded from files.
#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>

namespace tavrin {

// Film frame with a note, 37 × 35: the About window's picture.
QPixmap DrawProductIcon();

struct TButtonPictures {
    QPixmap normal;
    QPixmap hover;
    QPixmap pressed;
};

// A round 32 × 32 badge in the colour with the mark (one or two letters) in
// white; lighter under the mouse, darker and pushed in when pressed.
TButtonPictures DrawBadgePictures(const QString& mark, const QColor& colour);

}  // namespace tavrin

// The share bar: the label "Share:" and seven image buttons, each opening a
// share page for the product's web page. `TImageButton` shows one of three
// pictures: normal, under the mouse, pressed.
#pragma once

#include <QAbstractButton>
#include <QWidget>
#include <string>
#include <vector>

#include "app/gui/desktop_services.h"
#include "app/gui/drawn_pictures.h"

namespace tavrin {

class TImageButton : public QAbstractButton {
    Q_OBJECT

public:
    enum class TFace { Normal, Hover, Pressed };

    TImageButton(TButtonPictures pictures, QWidget* parent);

    // The face the next paint shows.
    TFace CurrentFace() const;
    const QPixmap& Picture(TFace face) const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    TButtonPictures pictures_;
    bool hovered_ = false;
};

class TShareBar : public QWidget {
    Q_OBJECT

public:
    TShareBar(const std::string& productPageUrl, TDesktopServices services, QWidget* parent);

    // Left to right.
    const std::vector<TImageButton*>& Buttons() const { return buttons_; }

private:
    std::vector<TImageButton*> buttons_;
};

}  // namespace tavrin

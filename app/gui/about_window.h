// The About window: the product's name and version, the years and the host
// of its web page, the rights line and the host as a link to the home page.
#pragma once

#include <QDialog>

#include "app/core/global_object.h"
#include "app/gui/desktop_services.h"

class QLabel;
class QPushButton;

namespace tavrin {

class TfrmAbout1 : public QDialog {
    Q_OBJECT

public:
    // `year` is the year the years line ends with.
    TfrmAbout1(QWidget* parent, const TGlobalObject& global, TDesktopServices services, int year);

    QLabel* NameLabel() const { return lbl4_; }
    QLabel* YearsLabel() const { return lbl1_; }
    QLabel* RightsLabel() const { return lbl2_; }
    QLabel* LinkLabel() const { return lbl3_; }
    QPushButton* OkButton() const { return btn1_; }

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    TDesktopServices services_;
    QString homePage_;
    QLabel* lbl4_;
    QLabel* lbl1_;
    QLabel* lbl2_;
    QLabel* lbl3_;
    QPushButton* btn1_;
};

// Shows the window modally, as the "About" menu entry does.
void ShowAboutWindow(TfrmAbout1& about);

}  // namespace tavrin

#include "app/gui/about_window.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

#include "app/core/about_text.h"
#include "app/gui/drawn_pictures.h"

namespace tavrin {

namespace {

constexpr QSize kAboutSize(330, 170);
constexpr int kLabelWidth = 300;
constexpr int kLabelLeft = 15;

QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(left, top, kLabelWidth, label->sizeHint().height());
    return label;
}

}  // namespace

TfrmAbout1::TfrmAbout1(QWidget* parent, const TGlobalObject& global, TDesktopServices services,
                       int year)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      services_(std::move(services)),
      homePage_(QString::fromStdString(global.ProductPageUrl())) {
    setWindowTitle(QStringLiteral("About"));
    setModal(true);

    auto* picture = new QLabel(this);
    picture->setPixmap(DrawProductIcon());
    picture->setGeometry(kLabelLeft, 12, 37, 35);

    const std::string host = AboutHost(global.ProductPageUrl());
    lbl4_ = AddLabel(
        this, "lbl4",
        QString::fromStdString(AboutNameLine(global.ProductName(), global.VersionText())), 62, 22);
    QFont bold = lbl4_->font();
    bold.setBold(true);
    lbl4_->setFont(bold);
    lbl1_ =
        AddLabel(this, "lbl1", QString::fromStdString(AboutYearsLine(year, host)), kLabelLeft, 58);
    lbl2_ = AddLabel(this, "lbl2", QString::fromLatin1(kRightsText.data(), kRightsText.size()),
                     kLabelLeft, 78);
    lbl3_ = AddLabel(this, "lbl3", QString::fromStdString(host), kLabelLeft, 98);
    lbl3_->setFont(bold);
    QPalette linkPalette = lbl3_->palette();
    linkPalette.setColor(QPalette::WindowText, linkPalette.color(QPalette::Link));
    lbl3_->setPalette(linkPalette);
    lbl3_->setCursor(Qt::PointingHandCursor);
    lbl3_->setToolTip(homePage_);
    lbl3_->installEventFilter(this);

    btn1_ = new QPushButton(QStringLiteral("Ok"), this);
    btn1_->setObjectName(QStringLiteral("btn1"));
    btn1_->setDefault(true);
    btn1_->setGeometry(kAboutSize.width() - 90, kAboutSize.height() - 38, 75, 26);
    connect(btn1_, &QPushButton::clicked, this, &QDialog::accept);
    setFixedSize(kAboutSize);
}

void TfrmAbout1::showEvent(QShowEvent* event) {
    for (QLabel* label : {lbl4_, lbl1_, lbl2_, lbl3_}) {
        label->resize(kLabelWidth, label->height());
    }
    // The years line is as wide as its text.
    lbl1_->adjustSize();
    QDialog::showEvent(event);
}

bool TfrmAbout1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lbl3_ && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        services_.openUrl(QUrl(homePage_));
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void ShowAboutWindow(TfrmAbout1& about) {
    about.exec();
}

}  // namespace tavrin

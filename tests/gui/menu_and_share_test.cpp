// The main menu's entries and the share bar: each opens its address through
// the desktop services; the image buttons paint their three pictures.
#include <QEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/core/product_links.h"
#include "app/gui/about_window.h"
#include "app/gui/main_menu.h"
#include "app/gui/share_buttons.h"
#include "desktop_recorder.h"

using namespace tavrin;
using tavrin::testing::TDesktopRecorder;

namespace {

const QString kPage = "https://tavrin.org/free/";

TGlobalObject Product() {
    TGlobalObject global;
    global.SetProductName("Tavrin Free ");
    global.SetVersionText(" 1.0000 ");
    global.SetProductPageUrl(kPage.toStdString());
    return global;
}

QString FromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Triggers every entry of a sub-menu and checks captions and addresses.
void CheckPageMenu(QAction* entry, std::span<const TMenuLink> links, TDesktopRecorder& desktop) {
    QVERIFY(entry->menu() != nullptr);
    const QList<QAction*> actions = entry->menu()->actions();
    QCOMPARE(actions.size(), qsizetype(links.size()));
    for (qsizetype i = 0; i < actions.size(); ++i) {
        desktop.urls.clear();
        QCOMPARE(actions[i]->text(), FromView(links[i].caption));
        actions[i]->trigger();
        QCOMPARE(desktop.urls.size(), size_t{1});
        QCOMPARE(desktop.urls[0], QUrl(FromView(links[i].address)));
    }
}

QRgb PixelAt(const QPixmap& picture, QPoint point) {
    return picture.toImage().pixel(point);
}

}  // namespace

class MenuAndShareTest : public QObject {
    Q_OBJECT

private slots:
    void menuEntriesOpenTheirPages() {
        TDesktopRecorder desktop;
        const TGlobalObject global = Product();
        TfrmAbout1 about(nullptr, global, desktop.Services(), 2030);
        QMenuBar bar;
        FillMainMenu(bar, global, desktop.Services(), [&] { ShowAboutWindow(about); });

        const QList<QAction*> entries = bar.actions();
        QStringList captions;
        for (QAction* entry : entries) {
            captions << entry->text();
        }
        QCOMPARE(captions, QStringList({"Related software", " Freeware Downlaod", "About", " Help ",
                                        "tavrin.org"}));
        CheckPageMenu(entries[0], RelatedSoftwareLinks(), desktop);
        QCOMPARE(entries[0]->menu()->actions().last()->text(), QString("More .. "));
        CheckPageMenu(entries[1], FreewareDownloadLinks(), desktop);

        desktop.urls.clear();
        bool shownModally = false;
        QTimer::singleShot(0, [&] {
            shownModally = about.isVisible() && QApplication::activeModalWidget() == &about;
            about.OkButton()->click();
        });
        entries[2]->trigger();
        QVERIFY(shownModally);
        QVERIFY(!about.isVisible());
        QVERIFY(desktop.urls.empty());

        entries[3]->trigger();
        entries[4]->trigger();
        QCOMPARE(desktop.urls.size(), size_t{2});
        QCOMPARE(desktop.urls[0], QUrl(FromView(HelpPageUrl())));
        QCOMPARE(desktop.urls[1], QUrl(kPage));
    }

    void shareButtonsOpenTheirShareAddresses() {
        TDesktopRecorder desktop;
        TShareBar bar(kPage.toStdString(), desktop.Services(), nullptr);
        bar.show();
        const auto* label = bar.findChild<QLabel*>("lblShare");
        QVERIFY(label != nullptr);
        QCOMPARE(label->text(), QString("Share:"));

        const QStringList hints = {"Facebook", "Google Classroom", "X (Twitter)", "Diigo",
                                   "Digg",     "Hacker News",      "Reddit"};
        const auto links = ShareLinks(kPage.toStdString());
        QCOMPARE(bar.Buttons().size(), size_t{7});
        int previousRight = label->geometry().right();
        for (std::size_t i = 0; i < bar.Buttons().size(); ++i) {
            TImageButton* button = bar.Buttons()[i];
            QCOMPARE(button->toolTip(), hints[qsizetype(i)]);
            QCOMPARE(button->size(), QSize(32, 32));
            QVERIFY(button->geometry().left() > previousRight);
            previousRight = button->geometry().right();

            desktop.urls.clear();
            QTest::mouseClick(button, Qt::LeftButton);
            QCOMPARE(desktop.urls.size(), size_t{1});
            QCOMPARE(desktop.urls[0], QUrl(QString::fromStdString(links[i].address)));
            if (hints[qsizetype(i)] != "X (Twitter)") {
                QVERIFY(desktop.urls[0].toString().contains(kPage));
            }
        }
    }

    void imageButtonPaintsItsThreePictures() {
        TDesktopRecorder desktop;
        TShareBar bar(kPage.toStdString(), desktop.Services(), nullptr);
        bar.show();
        TImageButton* button = bar.Buttons().front();
        // Inside the badge and clear of its letters.
        const QPoint probe(4, 16);
        using Face = TImageButton::TFace;
        const QRgb normal = PixelAt(button->Picture(Face::Normal), probe);
        const QRgb hover = PixelAt(button->Picture(Face::Hover), probe);
        const QRgb pressed = PixelAt(button->Picture(Face::Pressed), probe);
        QVERIFY(normal != hover && hover != pressed && normal != pressed);
        QCOMPARE(qAlpha(normal), 255);

        auto painted = [&] { return PixelAt(button->grab(), probe); };
        QCOMPARE(button->CurrentFace(), Face::Normal);
        QCOMPARE(painted(), normal);

        QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), QPointF(10, 10));
        QApplication::sendEvent(button, &enter);
        QCOMPARE(button->CurrentFace(), Face::Hover);
        QCOMPARE(painted(), hover);

        QTest::mousePress(button, Qt::LeftButton);
        QCOMPARE(button->CurrentFace(), Face::Pressed);
        QCOMPARE(painted(), pressed);
        QTest::mouseRelease(button, Qt::LeftButton);
        QCOMPARE(button->CurrentFace(), Face::Hover);

        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(button, &leave);
        QCOMPARE(button->CurrentFace(), Face::Normal);
        QCOMPARE(painted(), normal);
    }
};

QTEST_MAIN(MenuAndShareTest)
#include "menu_and_share_test.moc"

// The About window's texts from the product page address, its size and its
// link, with the desktop replaced by a recorder.
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "app/core/about_text.h"
#include "app/gui/about_window.h"
#include "desktop_recorder.h"
#include "picture_support.h"

using namespace tavrin;
using tavrin::testing::TDesktopRecorder;

namespace {

TGlobalObject Product(const QString& pageUrl) {
    TGlobalObject global;
    global.SetProductName("Tavrin Free ");
    global.SetVersionText(" 1.6010 ");
    global.SetProductPageUrl(pageUrl.toStdString());
    return global;
}

}  // namespace

class AboutWindowTest : public QObject {
    Q_OBJECT

private slots:
    void showsHostAndYearsOfThePage_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("year");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("yearsLine");
        QTest::newRow("scheme, host and page")
            << "http://www.example.org/merge/index.html" << 2031 << "www.example.org"
            << "2007-2031 www.example.org";
        QTest::newRow("https") << "https://tavrin.org/" << 2026 << "tavrin.org"
                               << "2007-2026 tavrin.org";
        QTest::newRow("no slash after the host") << "https://tavrin.org" << 2026 << ""
                                                 << "2007-2026 ";
    }

    void showsHostAndYearsOfThePage() {
        QFETCH(QString, url);
        QFETCH(int, year);
        QFETCH(QString, host);
        QFETCH(QString, yearsLine);
        TDesktopRecorder desktop;
        TfrmAbout1 about(nullptr, Product(url), desktop.Services(), year);
        about.show();

        QCOMPARE(about.windowTitle(), QString("About"));
        QCOMPARE(about.size(), QSize(330, 170));
        QCOMPARE(about.NameLabel()->text(), QString("Tavrin Free   1.6010 "));
        QVERIFY(about.NameLabel()->font().bold());
        QCOMPARE(about.YearsLabel()->text(), yearsLine);
        QCOMPARE(about.LinkLabel()->text(), host);
        QVERIFY(about.LinkLabel()->font().bold());
        QVERIFY(!about.RightsLabel()->text().isEmpty());
        for (QLabel* label : {about.NameLabel(), about.RightsLabel(), about.LinkLabel()}) {
            QCOMPARE(label->width(), 300);
        }
        // The years line is as wide as its text.
        QCOMPARE(about.YearsLabel()->width(), about.YearsLabel()->sizeHint().width());

        QTest::mouseClick(about.LinkLabel(), Qt::LeftButton);
        QCOMPARE(desktop.urls.size(), size_t{1});
        QCOMPARE(desktop.urls[0], QUrl(url));

        about.OkButton()->click();
        QVERIFY(!about.isVisible());
        QCOMPARE(about.result(), int(QDialog::Accepted));
    }

    void renderPicture() {
        if (tavrin::testing::PictureFolder().isEmpty()) {
            QSKIP("set TAVRIN_PICTURE_DIR to render about.png");
        }
        TGlobalObject global;
        global.SetProductName(std::string(kProductName));
        global.SetVersionText(ProjectVersionText());
        global.SetProductPageUrl(std::string(kProductPageUrl));
        TDesktopRecorder desktop;
        TfrmAbout1 about(nullptr, global, desktop.Services(), CurrentYear());
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QVERIFY(tavrin::testing::SaveWindowPicture(about, "about.png"));
    }
};

QTEST_MAIN(AboutWindowTest)
#include "about_window_test.moc"

// The preview window: what a task's previewer shows in it (caption, size,
// picture), closing it, and the encoder's Preview property end to end with
// tasks on worker threads while the main thread serves Qt's loop. The
// end-to-end cases start threads (the tasks' workers).
#include <QApplication>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/gui/preview_window.h"
#include "app/gui/qt_dispatcher.h"
#include "fixtures/media_fixtures.h"
#include "fixtures/serve_main_thread.h"
#include "media/encoder/custom_encoder.h"
#include "media/runtime/loader.h"
#include "media/runtime/main_thread.h"

using namespace tavrin;
using tavrin::testing::RunFfmpeg;
using tavrin::testing::ServeMainThreadUntil;
using tavrin::testing::ShellQuote;

namespace {

// A bitmap of one colour (32-bit, blue green red bytes).
TBitmap Filled(int width, int height, std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
    TBitmap bitmap;
    bitmap.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            row[x * 4] = blue;
            row[x * 4 + 1] = green;
            row[x * 4 + 2] = red;
            row[x * 4 + 3] = 0;
        }
    }
    return bitmap;
}

QList<TPreviewerForm*> PreviewForms() {
    QList<TPreviewerForm*> forms;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* form = qobject_cast<TPreviewerForm*>(widget); form != nullptr) {
            forms.push_back(form);
        }
    }
    return forms;
}

}  // namespace

class PreviewWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        InitMainThread();
        InstallQtDispatcher();
        QVERIFY(FFLoader().LoadLibs(EncoderLibs));
        clip_ = dir_ / "clip.mkv";
        QVERIFY(RunFfmpeg("-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -c:v mpeg4 " +
                          ShellQuote(clip_.string())));
    }

    void cleanupTestCase() {
        SetMainThreadDispatcher(nullptr);
        ShutdownMainThread();
    }

    void showsThePictureWithItsTimeAndKeepsItsFirstSize() {
        TPreviewer previewer(MakePreviewViewFactory());
        const TBitmap red = Filled(64, 48, 0, 0, 255);
        QVERIFY(previewer.ShowPicture(red, 1, kNoTimestamp));
        const auto forms = PreviewForms();
        QCOMPARE(forms.size(), 1);
        TPreviewerForm* form = forms.front();
        QVERIFY(form->isVisible());
        QCOMPARE(form->windowTitle(), QString("N/A"));
        QCOMPARE(form->size(), QSize(64, 48));
        QVERIFY((form->windowFlags() & Qt::WindowStaysOnTopHint) != 0);
        QCOMPARE(form->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
        QCOMPARE(form->grab().toImage().pixelColor(5, 5), QColor(255, 0, 0));

        // A smaller picture later: drawn at the top-left, the window keeps its size.
        const TBitmap blue = Filled(16, 16, 255, 0, 0);
        QVERIFY(previewer.ShowPicture(blue, 2, 3723120000LL));
        QCOMPARE(form->windowTitle(), QString("01:02:03.125"));
        QCOMPARE(form->size(), QSize(64, 48));
        const QImage shown = form->grab().toImage();
        QCOMPARE(shown.pixelColor(5, 5), QColor(0, 0, 255));
        QVERIFY(shown.pixelColor(40, 40) != QColor(0, 0, 255));

        // The user closes it: the previewer answers false from then on.
        form->close();
        QVERIFY(!previewer.ShowPicture(red, 3, 0));
        QVERIFY(previewer.Closed());
    }

    void leftButtonAnywhereMovesTheWindow() {
        TPreviewer previewer(MakePreviewViewFactory());
        const TBitmap red = Filled(64, 48, 0, 0, 255);
        QVERIFY(previewer.ShowPicture(red, 1, 0));
        TPreviewerForm* form = PreviewForms().front();
        const QPoint before = form->pos();
        QTest::mousePress(form, Qt::LeftButton, {}, QPoint(10, 10));
        QMouseEvent move(QEvent::MouseMove, QPointF(40, 30), form->mapToGlobal(QPointF(40, 30)),
                         Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(form, &move);
        QCOMPARE(form->pos(), before + QPoint(30, 20));
    }

    void bitmapDepthsBecomeTheSameImage() {
        // 24-bit and 32-bit pictures of one colour give one image.
        TBitmap deep = Filled(4, 2, 10, 20, 30);
        TBitmap packed;
        packed.SetPixelFormat(TBitmapPixelFormat::pf24bit);
        packed.SetSize(4, 2);
        for (int y = 0; y < 2; ++y) {
            for (int x = 0; x < 4; ++x) {
                packed.ScanLine(y)[x * 3] = 10;
                packed.ScanLine(y)[x * 3 + 1] = 20;
                packed.ScanLine(y)[x * 3 + 2] = 30;
            }
        }
        QCOMPARE(ImageOfBitmap(deep).pixelColor(3, 1), QColor(30, 20, 10));
        QCOMPARE(ImageOfBitmap(packed).pixelColor(3, 1), QColor(30, 20, 10));
    }

    // Two tasks with Preview on: closing the first one's window ends its
    // preview only; both finish their output. Preview switched on and off
    // from the main thread while pictures are shown never dead-locks.
    void closingOneWindowStopsThatTasksPreviewOnly() {
        TZOZovadod encoder;
        encoder.PreviewViewFactory = MakePreviewViewFactory();
        std::atomic<int> terminated{0};
        std::atomic<int> failed{0};
        encoder.OnTerminate = [&](TCustomEncoder*, const TTerminateInfo& info) {
            failed += info.Finished ? 0 : 1;
            ++terminated;
        };
        for (int i = 0; i < 2; ++i) {
            TInputOptions input;
            input.Options = "-re";
            const std::int32_t index = encoder.AddTask(clip_.string(), &input);
            QVERIFY(index >= 0);
            TOutputOptions output;
            output.Options = "-y -c:v mpeg4";
            QVERIFY(encoder.SetOutput(index, (dir_ / ("out" + std::to_string(i) + ".mkv")).string(),
                                      &output) >= 0);
        }
        encoder.SetPreview(true);
        encoder.StartTask(2);
        QVERIFY(ServeMainThreadUntil([] { return PreviewForms().size() == 2; },
                                     std::chrono::seconds(20)));
        // Closing the first window the first task shows in.
        TPreviewerForm* first = PreviewForms().front();
        first->close();
        QVERIFY(ServeMainThreadUntil([] { return PreviewForms().size() == 1; },
                                     std::chrono::seconds(20)));
        const QString caption = PreviewForms().front()->windowTitle();
        QVERIFY(
            ServeMainThreadUntil([&] { return PreviewForms().front()->windowTitle() != caption; },
                                 std::chrono::seconds(5)));
        QCOMPARE(PreviewForms().size(), 1);  // no new window for the closed one
        for (int i = 0; i < 20; ++i) {
            encoder.SetPreview(i % 2 != 0);
            WaitForMessages(std::chrono::milliseconds(10));
        }
        QVERIFY(ServeMainThreadUntil([&] { return encoder.AllDone() && terminated >= 2; },
                                     std::chrono::seconds(30)));
        QCOMPARE(failed.load(), 0);
        QVERIFY(
            ServeMainThreadUntil([] { return PreviewForms().isEmpty(); }, std::chrono::seconds(5)));
        encoder.ClearTasks();
    }

private:
    testing::TempDir dir_;
    std::filesystem::path clip_;
};

QTEST_MAIN(PreviewWindowTest)
#include "encoder_preview_window_test.moc"

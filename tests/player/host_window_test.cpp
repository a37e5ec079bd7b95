// Drawing into a host's window: an X11 window made here (as a toolkit
// widget's winId() would be) is handed to Open, and the pictures land in it,
// centred in the host's size, while the player opens no window of its own.
#include <gtest/gtest.h>

#include <memory>

#include "virtual_screen.h"

// Last: Xlib's macros (None, Bool, Status) clash with names in the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace tavrin {
namespace {

using namespace std::chrono_literals;

constexpr int kHostWidth = 480;
constexpr int kHostHeight = 240;
constexpr unsigned long kHostBackground = 0x2a5f93;  // a blue the clip never shows

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
struct ImageDestroyer {
    void operator()(XImage* image) const { XDestroyImage(image); }
};

using testing::VideoPlaybackTest;

TEST_F(VideoPlaybackTest, PicturesLandInTheHostsX11Window) {
    const std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display) {
        GTEST_SKIP() << "no X server (Xvfb is not installed)";
    }
    const Window host = XCreateSimpleWindow(display.get(), DefaultRootWindow(display.get()), 0, 0,
                                            kHostWidth, kHostHeight, 0, 0, kHostBackground);
    XMapWindow(display.get(), host);
    XSync(display.get(), False);

    const auto clip = MakeClip("clip.mp4", 3.0);
    ASSERT_TRUE(player_->Open(clip.string(), static_cast<uintptr_t>(host), false))
        << player_->LastErrorText();
    ASSERT_TRUE(WaitForPosition(1000000, 5s));
    // A 320 × 240 picture in the host's 480 × 240: centred, its own shape.
    EXPECT_EQ(player_->LastDisplayRect(), (TDisplayRect{80, 0, 320, 240}));
    const std::unique_ptr<XImage, ImageDestroyer> image(
        XGetImage(display.get(), host, 0, 0, kHostWidth, kHostHeight, AllPlanes, ZPixmap));
    player_->Stop(true);
    ASSERT_NE(image, nullptr);

    // The borders are filled with the background colour (black), the
    // picture is the clip's, and nothing of the host's own colour is left.
    int host_colour = 0;
    int coloured = 0;
    for (int y = 0; y < kHostHeight; y += 4) {
        for (int x = 0; x < kHostWidth; x += 4) {
            const unsigned long pixel = XGetPixel(image.get(), x, y) & 0xffffff;
            host_colour += pixel == kHostBackground ? 1 : 0;
            if (x < 80 || x >= 400) {
                EXPECT_EQ(pixel, 0u) << x << "," << y;
            } else {
                coloured += pixel != 0 ? 1 : 0;
            }
        }
    }
    EXPECT_EQ(host_colour, 0);
    EXPECT_GT(coloured, 80 * 60 / 2);  // most of the picture area
    XDestroyWindow(display.get(), host);
}

}  // namespace
}  // namespace tavrin

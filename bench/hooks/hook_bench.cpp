// One MP4 final task of the merge application run through the encoder
// component, with no hook, with a video output hook that changes nothing, or
// with the preview window (a view that draws nothing, so that the cost is the
// engine's: conversion, throttling and the hand-over to the main thread).
// Prints the wall time in seconds; hook_bench.sh compares the modes.
//
//   tavrin-hook-bench none|output-hook|preview VIDEO AUDIO OUTPUT
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "media/encoder/custom_encoder.h"
#include "media/runtime/main_thread.h"

namespace {

class TBlindView final : public tavrin::TPreviewView {
public:
    void SetCaption(const std::string&) override {}
    void Draw(const tavrin::TBitmap&) override {}
};

}  // namespace

int main(int argc, char* argv[]) {
    using namespace tavrin;
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s none|output-hook|preview VIDEO AUDIO OUTPUT\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    InitMainThread();
    TZOZovadod encoder;
    if (!encoder.LoadLibraries()) {
        std::fprintf(stderr, "%s\n", encoder.LastErrorText().c_str());
        return 1;
    }
    encoder.PreviewViewFactory = [](int, int, std::function<void()>) {
        return std::unique_ptr<TPreviewView>(std::make_unique<TBlindView>());
    };
    encoder.OnVideoOutputHook = [](TCustomEncoder*, PHookInfo info) { info->Update = false; };
    const std::int32_t task = encoder.AddTask(argv[2]);
    if (task < 0 || encoder.AddInput(task, argv[3]) < 0) {
        std::fprintf(stderr, "%s\n", encoder.LastErrorText().c_str());
        return 1;
    }
    TOutputOptions output;
    output.Options = "-y -c:v mpeg4 -c:a aac -map 0:0 -map 1:0";
    output.VideoOutputHook = mode == "output-hook";
    if (encoder.SetOutput(task, argv[4], &output) < 0) {
        std::fprintf(stderr, "%s\n", encoder.LastErrorText().c_str());
        return 1;
    }
    encoder.SetPreview(mode == "preview");
    const auto start = std::chrono::steady_clock::now();
    encoder.StartTask(1);
    while (!encoder.AllDone()) {
        WaitForMessages(std::chrono::milliseconds(5));
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.6f\n", took.count());
    return 0;
}

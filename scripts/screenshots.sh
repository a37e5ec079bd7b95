#!/usr/bin/env bash
# Renders the windows into docs/images/ (PNG) under a virtual X display, with
# media and settings made in a temporary home: the main window idle with a
# video and three songs listed, the main window merging, the About window
# and the folder chooser.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/release
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j2 --target tavrin_render_windows
mkdir -p docs/images
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$build/tests/gui/tavrin_render_windows" docs/images
# The About window and the folder chooser, from their window tests.
for window in about_window output_folder; do
    cmake --build "$build" -j2 --target "tavrin_gui_${window}_test"
    TAVRIN_PICTURE_DIR=docs/images QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" \
        "$build/tests/gui/tavrin_gui_${window}_test" renderPicture
done

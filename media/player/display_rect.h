// Where a picture goes inside the display area: the pure part of drawing.
#pragma once

namespace tavrin {

struct TDisplayRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const TDisplayRect&) const = default;
};

// The shape to show a picture in: `aspect_setting` when positive; when
// negative, the display area's own shape; otherwise the picture's shape,
// width × sample aspect ratio (1 when not positive) / height.
double DisplayAspect(float aspect_setting, int area_width, int area_height, int picture_width,
                     int picture_height, double sample_aspect);

// The largest rectangle of that shape inside the area, even-sized, centred,
// at least 1 × 1.
TDisplayRect DisplayRectangle(int area_width, int area_height, double aspect);

}  // namespace tavrin

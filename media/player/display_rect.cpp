#include "media/player/display_rect.h"

#include <algorithm>
#include <cmath>

namespace tavrin {

double DisplayAspect(float aspect_setting, int area_width, int area_height, int picture_width,
                     int picture_height, double sample_aspect) {
    if (aspect_setting > 0) {
        return aspect_setting;
    }
    if (aspect_setting < 0 && area_width > 0 && area_height > 0) {
        return static_cast<double>(area_width) / area_height;
    }
    if (picture_height <= 0) {
        return 1.0;
    }
    return picture_width * (sample_aspect > 0 ? sample_aspect : 1.0) / picture_height;
}

TDisplayRect DisplayRectangle(int area_width, int area_height, double aspect) {
    int height = area_height;
    int width = static_cast<int>(std::floor(height * aspect)) & ~1;
    if (width > area_width) {
        width = area_width;
        height = static_cast<int>(std::floor(width / aspect)) & ~1;
    }
    TDisplayRect rect;
    rect.x = (area_width - width) / 2;
    rect.y = (area_height - height) / 2;
    rect.width = std::max(width, 1);
    rect.height = std::max(height, 1);
    return rect;
}

}  // namespace tavrin

/* An example "-vhook" module: inverts a rectangle of the first plane (the
 * luma of planar YUV pictures, 8 bits a sample).
 *
 *   -vhook "/path/libtavrin_vhook_invert_rect.so|X|Y|WIDTH|HEIGHT"
 *
 * Without arguments the rectangle is 40 x 40 at (10, 10). Arguments that
 * are not four non-negative whole numbers make Configure fail. */
#include <stddef.h>
#include <stdlib.h>

#include "media/engine/vhook_module_api.h"

#if defined(TAVRIN_VHOOK_EXPORT)
#define EXPORT __attribute__((visibility("default")))
#else
#define EXPORT
#endif

struct rect {
    int x, y, width, height;
};

static int parse_whole_number(const char* text, int* value) {
    char* end = NULL;
    long number = 0;
    if (text == NULL || *text == '\0') {
        return -1;
    }
    number = strtol(text, &end, 10);
    if (*end != '\0' || number < 0 || number > 65535) {
        return -1;
    }
    *value = (int)number;
    return 0;
}

EXPORT int Configure(void** private_data, int argc, char* argv[]) {
    struct rect* r = NULL;
    if (argc != 1 && argc != 5) {
        return -1;
    }
    r = (struct rect*)malloc(sizeof *r);
    if (r == NULL) {
        return -1;
    }
    r->x = 10;
    r->y = 10;
    r->width = 40;
    r->height = 40;
    if (argc == 5 &&
        (parse_whole_number(argv[1], &r->x) != 0 || parse_whole_number(argv[2], &r->y) != 0 ||
         parse_whole_number(argv[3], &r->width) != 0 ||
         parse_whole_number(argv[4], &r->height) != 0)) {
        free(r);
        return -1;
    }
    *private_data = r;
    return 0;
}

#if !defined(TAVRIN_VHOOK_WITHOUT_PROCESS)
EXPORT void Process(void* private_data, struct picture* picture, int pixel_format, int width,
                    int height, int64_t pts) {
    const struct rect* r = (const struct rect*)private_data;
    int row = 0;
    int column = 0;
    (void)pixel_format;
    (void)pts;
    if (r == NULL) {
        return;
    }
    for (row = r->y; row < r->y + r->height && row < height; ++row) {
        uint8_t* line = picture->data[0] + (ptrdiff_t)row * picture->linesize[0];
        for (column = r->x; column < r->x + r->width && column < width; ++column) {
            line[column] = (uint8_t)(255 - line[column]);
        }
    }
}
#endif

EXPORT void Release(void* private_data) {
    free(private_data);
}

/* The interface of a "-vhook" picture module: a shared object exporting
 * Process, and optionally Configure and Release, with C linkage. Plain C, so
 * that modules may be written in C or C++.
 *
 * - Configure(&private_data, argc, argv): once per task that names the
 *   module; argv[0] is the module's path, the others its arguments. 0 is
 *   success; anything else fails the task's output.
 * - Process(private_data, picture, pixel_format, width, height, pts): each
 *   decoded picture, before the filters, changed in place. pixel_format is
 *   the FFmpeg pixel format number, pts in microseconds.
 * - Release(private_data): when the task ends. */
#ifndef TAVRIN_VHOOK_MODULE_API_H
#define TAVRIN_VHOOK_MODULE_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct picture {
    uint8_t* data[8];
    int linesize[8];
};

typedef int (*TVHookConfigure)(void** private_data, int argc, char* argv[]);
typedef void (*TVHookProcess)(void* private_data, struct picture* picture, int pixel_format,
                              int width, int height, int64_t pts);
typedef void (*TVHookRelease)(void* private_data);

#ifdef __cplusplus
}
#endif

#endif

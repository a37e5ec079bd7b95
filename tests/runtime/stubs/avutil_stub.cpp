// A stand-in libavutil for the loader tests. Built twice: exporting only
// avutil_version (a library that lacks required entries), and exporting every
// avutil entry of the table under another major version (a library of the
// wrong generation). Only avutil_version is ever called.
extern "C" {
#include <libavutil/version.h>
}

#include "media/runtime/ff_entries.h"

#if TAVRIN_STUB_ALL_ENTRIES
#define TAVRIN_STUB_avutil(name) \
    extern "C" void name() {}
#define TAVRIN_STUB_avcodec(name)
#define TAVRIN_STUB_avdevice(name)
#define TAVRIN_STUB_avfilter(name)
#define TAVRIN_STUB_avformat(name)
#define TAVRIN_STUB_swresample(name)
#define TAVRIN_STUB_swscale(name)
#define TAVRIN_STUB_ROW(library, name) TAVRIN_STUB_##library(name)
#define TAVRIN_STUB_OPTIONAL_ROW(library, name, type)
// avutil_version is defined below with its real signature.
#define avutil_version tavrin_stub_unused_avutil_version
TAVRIN_FF_ENTRIES(TAVRIN_STUB_ROW, TAVRIN_STUB_OPTIONAL_ROW)
#undef avutil_version
#endif

extern "C" unsigned avutil_version(void) {
    return AV_VERSION_INT(LIBAVUTIL_VERSION_MAJOR + TAVRIN_STUB_MAJOR_OFFSET, 1, 100);
}

// The process-wide table of FFmpeg entry points. The loader fills it when it
// binds a library and clears a library's rows when it unloads it; all media
// code calls FFmpeg only through it, e.g. ff.av_dict_set(&dict, "k", "v", 0).
// No binary of the project links against FFmpeg.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

#include "media/runtime/ff_entries.h"
#include "media/runtime/ff_headers.h"

namespace tavrin {

// Library identifiers in loading order; a set of libraries is a bit mask,
// bit i for identifier i.
enum class LibraryId : int {
    avcodec = 0,
    avdevice = 1,
    avfilter = 2,
    avformat = 3,
    avutil = 4,
    swresample = 5,
    swscale = 6,
};
inline constexpr int kLibraryCount = 7;

struct FFEntryTable {
#define TAVRIN_FF_DECLARE_REQUIRED(library, name) decltype(&::name) name = nullptr;
#define TAVRIN_FF_DECLARE_OPTIONAL(library, name, type) std::type_identity_t<type> name = nullptr;
    TAVRIN_FF_ENTRIES(TAVRIN_FF_DECLARE_REQUIRED, TAVRIN_FF_DECLARE_OPTIONAL)
#undef TAVRIN_FF_DECLARE_REQUIRED
#undef TAVRIN_FF_DECLARE_OPTIONAL
};

// The entry-point table. Written only while loading and unloading on the main
// thread; read without locks by every thread afterwards.
extern FFEntryTable ff;

// One row of the binding description: which library exports the entry, its
// exported name, whether it is required, how to store or clear it (store with
// null) and whether its slot is set.
struct FFEntryBinding {
    LibraryId library;
    const char* name;
    bool required;
    void (*store)(void* address);
    bool (*is_bound)();
};

// Every row of the table, in the order of ff_entries.h.
std::span<const FFEntryBinding> FFEntryBindings();

}  // namespace tavrin

#include "media/runtime/ff_api.h"

#include <array>

namespace tavrin {

FFEntryTable ff;

namespace {

// dlsym hands out object pointers; POSIX guarantees they convert to function
// pointers of the exported symbol's type.
template <typename Function>
void StoreEntry(Function& slot, void* address) {
    slot = reinterpret_cast<Function>(address);
}

#define TAVRIN_FF_BIND_ROW(library, name, required)                     \
    FFEntryBinding{LibraryId::library, #name, required,                 \
                   [](void* address) { StoreEntry(ff.name, address); }, \
                   []() { return ff.name != nullptr; }},
#define TAVRIN_FF_BIND_REQUIRED(library, name) TAVRIN_FF_BIND_ROW(library, name, true)
#define TAVRIN_FF_BIND_OPTIONAL(library, name, type) TAVRIN_FF_BIND_ROW(library, name, false)
constexpr std::array kBindings{TAVRIN_FF_ENTRIES(TAVRIN_FF_BIND_REQUIRED, TAVRIN_FF_BIND_OPTIONAL)};
#undef TAVRIN_FF_BIND_REQUIRED
#undef TAVRIN_FF_BIND_OPTIONAL
#undef TAVRIN_FF_BIND_ROW

}  // namespace

std::span<const FFEntryBinding> FFEntryBindings() {
    return kBindings;
}

}  // namespace tavrin

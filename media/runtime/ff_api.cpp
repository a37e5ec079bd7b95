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

#define TAVRIN_FF_BIND_REQUIRED(library, name) \
    FFEntryBinding{LibraryId::library, #name, true,  \
                   [](void* address) { StoreEntry(ff.name, address); }},
#define TAVRIN_FF_BIND_OPTIONAL(library, name, type) \
    FFEntryBinding{LibraryId::library, #name, false,       \
                   [](void* address) { StoreEntry(ff.name, address); }},
constexpr std::array kBindings{
    TAVRIN_FF_ENTRIES(TAVRIN_FF_BIND_REQUIRED, TAVRIN_FF_BIND_OPTIONAL)};
#undef TAVRIN_FF_BIND_REQUIRED
#undef TAVRIN_FF_BIND_OPTIONAL

}  // namespace

std::span<const FFEntryBinding> FFEntryBindings() { return kBindings; }

}  // namespace tavrin

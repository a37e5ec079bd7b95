#include "media/player/sdl_api.h"

#include <array>

namespace tavrin {

namespace {

// dlsym hands out object pointers; POSIX guarantees they convert to function
// pointers of the exported symbol's type.
template <typename Function>
void StoreEntry(Function& slot, void* address) {
    slot = reinterpret_cast<Function>(address);
}

#define TAVRIN_SDL_BIND_ROW(name)                                                              \
    SDLEntryBinding{                                                                           \
        #name, [](TSDLEntries& entries, void* address) { StoreEntry(entries.name, address); }, \
        [](const TSDLEntries& entries) { return entries.name != nullptr; }},
constexpr std::array kBindings{TAVRIN_SDL_ENTRIES(TAVRIN_SDL_BIND_ROW)};
#undef TAVRIN_SDL_BIND_ROW

}  // namespace

std::span<const SDLEntryBinding> SDLEntryBindings() {
    return kBindings;
}

}  // namespace tavrin

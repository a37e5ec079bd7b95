// A table of SDL entry points, typed from SDL's own declarations so that a
// call through it is checked like a direct call. Each TSDLLoader fills one;
// the player keeps a copy and calls SDL only through it. Nothing links
// against SDL.
#pragma once

#include <span>

#include <SDL2/SDL.h>

#include "media/player/sdl_entries.h"

namespace tavrin {

struct TSDLEntries {
#define TAVRIN_SDL_DECLARE(name) decltype(&::name) name = nullptr;
    TAVRIN_SDL_ENTRIES(TAVRIN_SDL_DECLARE)
#undef TAVRIN_SDL_DECLARE
};

// One row of the binding description: the exported name, how to store an
// address (or null) into a table and whether a table's slot is set.
struct SDLEntryBinding {
    const char* name;
    void (*store)(TSDLEntries& entries, void* address);
    bool (*is_bound)(const TSDLEntries& entries);
};

// Every row, in the order of sdl_entries.h.
std::span<const SDLEntryBinding> SDLEntryBindings();

}  // namespace tavrin

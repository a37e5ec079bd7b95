// The SDL library binding: each player owns one TSDLLoader, which loads the
// SDL library file from a folder (or the system search path), binds the
// entries of sdl_entries.h and refuses a file that another loader of this
// process holds, since SDL keeps process-wide state.
//
// Process-wide: the registry of files held by any loader and the SDL lock,
// which guards the registry and every SDL start-up in the process.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "media/player/sdl_api.h"
#include "media/runtime/dynamic_library.h"

namespace tavrin {

// The file the player asks for: SDL2's run-time library.
inline constexpr const char* kSDLLibraryFile = "libSDL2-2.0.so.0";

// The process-wide SDL lock. Recursive: the loader's Unload calls SDL_Quit
// under it, and the player's start-up holds it around its SDL calls.
std::recursive_mutex& SDLLock();

class TSDLLoader {
public:
    TSDLLoader() = default;
    // Unloads.
    ~TSDLLoader();
    TSDLLoader(const TSDLLoader&) = delete;
    TSDLLoader& operator=(const TSDLLoader&) = delete;

    // Loads folder + "/" + file (the folder's copy when the folder holds the
    // file, else the system's by bare name) and binds every entry. True at
    // once when this loader already holds that very path; false with
    // LastErrorText when another loader of the process holds it, or when the
    // file cannot be loaded or lacks an entry.
    bool Load(const std::string& folder, const std::string& file);
    // Under the SDL lock: calls SDL_Quit once when loaded, clears the
    // entries, frees the module and leaves the registry.
    void Unload();

    bool Loaded() const { return loaded_ && module_; }
    const std::string& LoadedPath() const { return loaded_path_; }
    // Major, minor, patch of the bound library; zeros when not loaded.
    const std::array<std::uint8_t, 3>& LinkedVersion() const { return linked_version_; }
    const std::string& LastErrorText() const { return last_error_text_; }
    // The bound entries; all null when not loaded.
    const TSDLEntries& Entries() const { return entries_; }

private:
    // Unload without taking the lock.
    void Release();

    std::string loaded_path_;
    DynamicLibrary module_;
    bool loaded_ = false;
    std::array<std::uint8_t, 3> linked_version_{};
    std::string last_error_text_;
    TSDLEntries entries_;
};

}  // namespace tavrin

#include "media/player/sdl_loader.h"

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <vector>

#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

// Full paths of the SDL files held by any loader. Guarded by SDLLock().
std::set<std::string>& Registry() {
    static std::set<std::string> registry;
    return registry;
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// The system libraries SDL pulled in (X11, sound servers, D-Bus) keep threads
// and atexit handlers of their own and are not built to be unloaded; they stay
// for the life of the process, only SDL itself goes with its loader.
void PinLibrariesLoadedSince(const std::vector<std::string>& before) {
    const std::set<std::string> known(before.begin(), before.end());
    for (const LoadedLibrary& library : LoadedLibraries(known)) {
        const std::string name = std::filesystem::path(library.path).filename().string();
        if (!name.starts_with("libSDL")) {
            PinLoadedLibrary(library.path);
        }
    }
}

}  // namespace

std::recursive_mutex& SDLLock() {
    static std::recursive_mutex lock;
    return lock;
}

TSDLLoader::~TSDLLoader() {
    Unload();
}

bool TSDLLoader::Load(const std::string& folder, const std::string& file) {
    std::string prefix = folder;
    if (!prefix.empty() && prefix.back() != '/') {
        prefix += '/';
    }
    const std::string full_path = prefix + file;
    if (Loaded() && loaded_path_ == full_path) {
        return true;
    }

    const std::lock_guard lock(SDLLock());
    if (Registry().contains(full_path)) {
        last_error_text_ = StringPrintf("%s alreay loaded in another instance.", full_path.c_str());
        return false;
    }
    Release();

    const std::vector<std::string> loaded_before = LoadedLibraryPaths();
    std::string error;
    module_ = !prefix.empty() && FileExists(full_path)
                  ? DynamicLibrary::OpenFromFolder(prefix, file, error)
                  : DynamicLibrary::Open(file, error);
    PinLibrariesLoadedSince(loaded_before);
    if (!module_) {
        last_error_text_ =
            StringPrintf("Load library %s error: %s", full_path.c_str(), error.c_str());
        return false;
    }

    for (const SDLEntryBinding& binding : SDLEntryBindings()) {
        void* address = module_.Symbol(binding.name, error);
        binding.store(entries_, address);
        if (!address) {
            last_error_text_ = StringPrintf("Load function %s@%s error: %s", binding.name,
                                            file.c_str(), error.c_str());
            Release();
            return false;
        }
    }
    SDL_version version{};
    entries_.SDL_GetVersion(&version);
    linked_version_ = {version.major, version.minor, version.patch};
    loaded_ = true;

    loaded_path_ = full_path;
    Registry().insert(full_path);
    return true;
}

void TSDLLoader::Unload() {
    const std::lock_guard lock(SDLLock());
    Release();
}

void TSDLLoader::Release() {
    linked_version_ = {};
    if (loaded_) {
        entries_.SDL_Quit();
        loaded_ = false;
    }
    entries_ = TSDLEntries{};
    module_.Close();
    if (!loaded_path_.empty()) {
        Registry().erase(loaded_path_);
        loaded_path_.clear();
    }
}

}  // namespace tavrin

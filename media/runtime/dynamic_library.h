// A shared library opened with dlopen and closed when its owner goes away.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tavrin {

class DynamicLibrary {
public:
    DynamicLibrary() = default;

    // Opens a file by path or, without a "/", by name through the system search
    // path. Function references are bound at their first call, as for a
    // program linked against the library: binding all of FFmpeg's and its
    // dependencies' functions at once costs milliseconds at every start. On
    // failure the result is empty and error holds the system's text.
    static DynamicLibrary Open(const std::string& file, std::string& error);

    // Opens folder + file by its full path so that its dependencies come from
    // that folder too: every DT_NEEDED entry that names a file present in the
    // folder is opened from there first (depth first), and the dynamic linker
    // then reuses those copies, as it matches dependencies against the sonames
    // of libraries already loaded. folder must end with "/". The extra handles
    // are dropped afterwards; the library keeps its dependencies loaded.
    static DynamicLibrary OpenFromFolder(const std::string& folder, const std::string& file,
                                         std::string& error);

    explicit operator bool() const { return handle_ != nullptr; }
    void* handle() const { return handle_.get(); }

    // The address of an exported symbol, or null with the system's text in
    // error.
    void* Symbol(const char* name, std::string& error) const;

    void Close() { handle_.reset(); }

private:
    struct Closer {
        void operator()(void* handle) const;
    };
    explicit DynamicLibrary(void* handle) : handle_(handle) {}

    std::unique_ptr<void, Closer> handle_;
};

// Paths of every shared object loaded in the process, in load order.
std::vector<std::string> LoadedLibraryPaths();

// A shared object loaded in the process and the names it needs (its DT_NEEDED
// entries), read from its dynamic section in memory; nullopt when that
// section could not be read safely.
struct LoadedLibrary {
    std::string path;
    std::optional<std::vector<std::string>> needed;
};
// Every loaded shared object whose path is not in `known`, in load order.
std::vector<LoadedLibrary> LoadedLibraries(const std::set<std::string>& known = {});

// Keeps an already loaded shared object in the process for good: closing the
// handles that opened it no longer unloads it.
bool PinLoadedLibrary(const std::string& path);

}  // namespace tavrin

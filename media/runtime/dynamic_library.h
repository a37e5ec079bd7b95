// A shared library opened with dlopen and closed when its owner goes away.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tavrin {

class DynamicLibrary {
public:
    DynamicLibrary() = default;

    // Opens a file by path or, without a "/", by name through the system search
    // path. Symbols are resolved at once, so a library with unresolved
    // references fails here rather than at its first call. On failure the
    // result is empty and error holds the system's text.
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

// Keeps an already loaded shared object in the process for good: closing the
// handles that opened it no longer unloads it.
bool PinLoadedLibrary(const std::string& path);

}  // namespace tavrin

#include "media/runtime/dynamic_library.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <set>
#include <vector>

#include "media/runtime/elf_dependencies.h"

namespace tavrin {

namespace {

std::string LastDlError(const char* fallback) {
    const char* text = ::dlerror();
    return text ? text : fallback;
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// Opens, from folder, every dependency of file that the folder holds, each
// after its own dependencies. A dependency that fails to open ends the walk
// with its error: loading the library would otherwise quietly take the
// system's copy of it.
bool PreloadFolderDependencies(const std::string& folder, const std::string& file,
                               std::set<std::string>& visited,
                               std::vector<DynamicLibrary>& preloaded, std::string& error) {
    const auto needed = ReadElfNeeded(folder + file);
    if (!needed) {
        return true;  // not an ELF file we can read: dlopen will say why
    }
    for (const std::string& dependency : *needed) {
        if (dependency.find('/') != std::string::npos || !visited.insert(dependency).second ||
            !FileExists(folder + dependency)) {
            continue;
        }
        if (!PreloadFolderDependencies(folder, dependency, visited, preloaded, error)) {
            return false;
        }
        DynamicLibrary library = DynamicLibrary::Open(folder + dependency, error);
        if (!library) {
            return false;
        }
        preloaded.push_back(std::move(library));
    }
    return true;
}

}  // namespace

void DynamicLibrary::Closer::operator()(void* handle) const {
    ::dlclose(handle);
}

DynamicLibrary DynamicLibrary::Open(const std::string& file, std::string& error) {
    ::dlerror();
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = LastDlError("cannot open the library");
        return DynamicLibrary();
    }
    return DynamicLibrary(handle);
}

DynamicLibrary DynamicLibrary::OpenFromFolder(const std::string& folder, const std::string& file,
                                              std::string& error) {
    std::set<std::string> visited{file};
    std::vector<DynamicLibrary> preloaded;
    if (!PreloadFolderDependencies(folder, file, visited, preloaded, error)) {
        return DynamicLibrary();
    }
    return Open(folder + file, error);
}

void* DynamicLibrary::Symbol(const char* name, std::string& error) const {
    ::dlerror();
    void* address = ::dlsym(handle_.get(), name);
    if (!address) {
        error = LastDlError("symbol not found");
    }
    return address;
}

std::vector<std::string> LoadedLibraryPaths() {
    std::vector<std::string> paths;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            if (info->dlpi_name && info->dlpi_name[0] != '\0') {
                static_cast<std::vector<std::string>*>(data)->emplace_back(info->dlpi_name);
            }
            return 0;
        },
        &paths);
    return paths;
}

bool PinLoadedLibrary(const std::string& path) {
    void* handle = ::dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    if (!handle) {
        return false;
    }
    ::dlclose(handle);  // drops only the reference taken here
    return true;
}

}  // namespace tavrin

#include "media/runtime/dynamic_library.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
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

// The address range [start, end) of one loaded segment of an object.
struct MappedRange {
    std::uintptr_t start;
    std::uintptr_t end;
};

bool Inside(const std::vector<MappedRange>& ranges, std::uintptr_t address, std::size_t size) {
    return std::any_of(ranges.begin(), ranges.end(), [&](const MappedRange& range) {
        return address >= range.start && address <= range.end && size <= range.end - address;
    });
}

// The DT_NEEDED names of a loaded object, from its dynamic section in memory.
// The dynamic linker may or may not have relocated the string table's address
// in place, so either reading is accepted when it lies inside the object's
// loaded segments; anything else gives nullopt.
std::optional<std::vector<std::string>> NeededInMemory(const dl_phdr_info& info) {
    std::vector<MappedRange> ranges;
    const ElfW(Dyn)* dynamic = nullptr;
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info.dlpi_phdr[i];
        const std::uintptr_t start = info.dlpi_addr + header.p_vaddr;
        if (header.p_type == PT_LOAD) {
            ranges.push_back({start, start + header.p_memsz});
        } else if (header.p_type == PT_DYNAMIC) {
            dynamic = reinterpret_cast<const ElfW(Dyn)*>(start);
        }
    }
    if (dynamic == nullptr) {
        return std::vector<std::string>{};
    }
    std::uintptr_t table = 0;
    std::size_t table_size = 0;
    std::vector<std::size_t> offsets;
    for (const ElfW(Dyn)* entry = dynamic;
         Inside(ranges, reinterpret_cast<std::uintptr_t>(entry), sizeof(ElfW(Dyn))); ++entry) {
        if (entry->d_tag == DT_NULL) {
            break;
        }
        if (entry->d_tag == DT_NEEDED) {
            offsets.push_back(entry->d_un.d_val);
        } else if (entry->d_tag == DT_STRTAB) {
            table = entry->d_un.d_ptr;
        } else if (entry->d_tag == DT_STRSZ) {
            table_size = entry->d_un.d_val;
        }
    }
    if (offsets.empty()) {
        return std::vector<std::string>{};
    }
    if (!Inside(ranges, table, table_size)) {
        table += info.dlpi_addr;
        if (!Inside(ranges, table, table_size)) {
            return std::nullopt;
        }
    }
    const char* strings = reinterpret_cast<const char*>(table);
    std::vector<std::string> needed;
    for (const std::size_t offset : offsets) {
        if (offset >= table_size) {
            return std::nullopt;
        }
        const std::size_t length = ::strnlen(strings + offset, table_size - offset);
        if (length == table_size - offset) {
            return std::nullopt;  // not terminated inside the table
        }
        needed.emplace_back(strings + offset, length);
    }
    return needed;
}

}  // namespace

void DynamicLibrary::Closer::operator()(void* handle) const {
    ::dlclose(handle);
}

DynamicLibrary DynamicLibrary::Open(const std::string& file, std::string& error) {
    ::dlerror();
    void* handle = ::dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL);
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

std::vector<LoadedLibrary> LoadedLibraries(const std::set<std::string>& known) {
    struct Walk {
        const std::set<std::string>& known;
        std::vector<LoadedLibrary> libraries;
    } walk{known, {}};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto& state = *static_cast<Walk*>(data);
            if (info->dlpi_name && info->dlpi_name[0] != '\0' &&
                !state.known.contains(info->dlpi_name)) {
                state.libraries.push_back({info->dlpi_name, NeededInMemory(*info)});
            }
            return 0;
        },
        &walk);
    return walk.libraries;
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

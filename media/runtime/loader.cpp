#include "media/runtime/loader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

extern "C" {
#include <libavcodec/version.h>
#include <libavdevice/version.h>
#include <libavfilter/version.h>
#include <libavformat/version.h>
#include <libavutil/version.h>
#include <libswresample/version.h>
#include <libswscale/version.h>
}

#include "media/runtime/elf_dependencies.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/logger.h"
#include "media/runtime/string_format.h"
#include "media/runtime/unicode_protocol.h"

namespace tavrin {

namespace {

struct LibraryItem {
    const char* name;
    int header_major;
    // The library's run-time version (major << 16 | minor << 8 | micro),
    // read through the table once the library is bound.
    unsigned (*runtime_version)();
};

// Indexed by LibraryId.
constexpr std::array<LibraryItem, kLibraryCount> kLibraries{{
    {"avcodec", LIBAVCODEC_VERSION_MAJOR, [] { return ff.avcodec_version(); }},
    {"avdevice", LIBAVDEVICE_VERSION_MAJOR, [] { return ff.avdevice_version(); }},
    {"avfilter", LIBAVFILTER_VERSION_MAJOR, [] { return ff.avfilter_version(); }},
    {"avformat", LIBAVFORMAT_VERSION_MAJOR, [] { return ff.avformat_version(); }},
    {"avutil", LIBAVUTIL_VERSION_MAJOR, [] { return ff.avutil_version(); }},
    {"swresample", LIBSWRESAMPLE_VERSION_MAJOR, [] { return ff.swresample_version(); }},
    {"swscale", LIBSWSCALE_VERSION_MAJOR, [] { return ff.swscale_version(); }},
}};

const LibraryItem& Item(LibraryId id) {
    return kLibraries[static_cast<std::size_t>(id)];
}

bool InSet(LibrarySet set, int index) {
    return (set >> index) & 1u;
}

void ClearEntries(LibraryId id) {
    for (const FFEntryBinding& binding : FFEntryBindings()) {
        if (binding.library == id) {
            binding.store(nullptr);
        }
    }
}

// The libraries that must stay unloadable: ours, and FFmpeg's own that come
// along (libpostproc) or that others load themselves (SDL).
bool IsMediaLibraryFile(const std::string& file) {
    static const std::set<std::string> kOurs = [] {
        std::set<std::string> names;
        for (int index = 0; index < kLibraryCount; ++index) {
            names.insert(LibraryFileName(static_cast<LibraryId>(index)));
        }
        return names;
    }();
    return kOurs.contains(file) || file.starts_with("libpostproc.so") || file.starts_with("libSDL");
}

// The system libraries that loading FFmpeg pulled in stay for the life of the
// process. Libraries such as libgomp run thread pools and keep what their
// constructors allocated; they are not built to be unloaded, and unloading
// FFmpeg must not take them along. Whatever depends on FFmpeg itself
// (libchromaprint, for one) is left unpinned, or FFmpeg could never go.
void PinSystemLibrariesLoadedSince(const std::vector<std::string>& before) {
    const std::set<std::string> loaded_before(before.begin(), before.end());
    std::set<std::string> unpinned_names;
    struct Candidate {
        std::string path;
        std::string name;
        std::vector<std::string> needed;
        bool pin = true;
    };
    std::vector<Candidate> candidates;
    for (LoadedLibrary& library : LoadedLibraries(loaded_before)) {
        std::string name = std::filesystem::path(library.path).filename().string();
        if (IsMediaLibraryFile(name)) {
            unpinned_names.insert(std::move(name));
            continue;
        }
        // Read from the mapped image; the file only when that cannot be done.
        std::vector<std::string> needed =
            library.needed ? std::move(*library.needed)
                           : ReadElfNeeded(library.path).value_or(std::vector<std::string>{});
        candidates.push_back({std::move(library.path), std::move(name), std::move(needed)});
    }
    for (bool changed = true; changed;) {
        changed = false;
        for (Candidate& candidate : candidates) {
            if (candidate.pin && std::any_of(candidate.needed.begin(), candidate.needed.end(),
                                             [&](const std::string& needed) {
                                                 return IsMediaLibraryFile(needed) ||
                                                        unpinned_names.contains(needed);
                                             })) {
                candidate.pin = false;
                unpinned_names.insert(candidate.name);
                changed = true;
            }
        }
    }
    for (const Candidate& candidate : candidates) {
        if (candidate.pin) {
            PinLoadedLibrary(candidate.path);
        }
    }
}

}  // namespace

const char* LibraryName(LibraryId id) {
    return Item(id).name;
}

int LibraryHeaderMajor(LibraryId id) {
    return Item(id).header_major;
}

std::string LibraryFileName(LibraryId id) {
    return StringPrintf("lib%s.so.%d", Item(id).name, Item(id).header_major);
}

std::string DefaultLibraryFolder() {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return "LibAV";
    }
    return (executable.parent_path() / "LibAV").string();
}

TFFLoader::~TFFLoader() {
    UnloadLibs(AllLibs);
}

const std::string& TFFLoader::LibraryPath() const {
    return library_path_;
}

void TFFLoader::SetLibraryPath(const std::string& folder) {
    library_path_ = folder;
}

const std::string& TFFLoader::LastErrorText() const {
    return last_error_text_;
}

bool TFFLoader::LoadLibs(LibrarySet set) {
    assert(set != 0 && (set & ~AllLibs) == 0);
    if (set == 0) {
        return false;
    }
    for (int index = 0; index < kLibraryCount; ++index) {
        if (InSet(set, index) && !LoadLibrary(static_cast<LibraryId>(index))) {
            // Also unloads members that were loaded by earlier requests: a set
            // is either wholly usable or not at all.
            UnloadLibs(set);
            return false;
        }
    }
    return true;
}

void TFFLoader::UnloadLibs(LibrarySet set) {
    for (int index = 0; index < kLibraryCount; ++index) {
        if (InSet(set, index)) {
            UnloadLibrary(static_cast<LibraryId>(index));
        }
    }
}

bool TFFLoader::LibrarySetLoaded(LibrarySet set) const {
    assert(set != 0);
    if (set == 0) {
        return false;
    }
    for (int index = 0; index < kLibraryCount; ++index) {
        const LibraryStatus& status = status_[static_cast<std::size_t>(index)];
        if (InSet(set, index) && !(status.module && status.loaded)) {
            return false;
        }
    }
    return true;
}

void TFFLoader::CheckLibs(LibrarySet set) const {
    for (int index = 0; index < kLibraryCount; ++index) {
        const LibraryStatus& status = status_[static_cast<std::size_t>(index)];
        if (InSet(set, index) && !(status.module && status.loaded)) {
            throw FFmpegException(
                StringPrintf("Library %s not loaded.", LibraryName(static_cast<LibraryId>(index))));
        }
    }
}

bool TFFLoader::LoadLibrary(LibraryId id) {
    LibraryStatus& status = status_[static_cast<std::size_t>(id)];
    if (!status.module && !OpenModule(id, status)) {
        return false;
    }
    if (!status.loaded) {
        status.loaded = BindLibrary(id, status);
    }
    if (!status.loaded) {
        UnloadLibrary(id);
        return false;
    }
    RunFollowUp(id);
    return true;
}

bool TFFLoader::OpenModule(LibraryId id, LibraryStatus& status) {
    const std::string file = LibraryFileName(id);
    std::string folder = library_path_;
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    const std::string shown = folder + file;

    // The folder's copy is used when the folder holds the file; a missing
    // folder or file means the system's copy. Any other answer (a name over
    // the length limit, a folder we may not search) is an error: quietly
    // taking the system's library would hide it.
    bool from_folder = false;
    if (!folder.empty()) {
        struct stat info {};
        if (shown.find('\0') != std::string::npos) {
            last_error_text_ =
                StringPrintf("Load library %s error: %s", shown.c_str(), std::strerror(EINVAL));
            return false;
        }
        if (::stat(shown.c_str(), &info) == 0) {
            from_folder = true;
        } else if (errno != ENOENT && errno != ENOTDIR) {
            last_error_text_ =
                StringPrintf("Load library %s error: %s", shown.c_str(), std::strerror(errno));
            return false;
        }
    }

    const std::vector<std::string> loaded_before = LoadedLibraryPaths();
    // A library from the system search path still gets the folder's copies
    // of its siblings as dependencies: loaded first, they are what the dynamic
    // linker hands it, so a process never holds two copies of one library.
    // A copy that fails here is reported when its own turn comes.
    std::vector<DynamicLibrary> sibling_copies;
    if (!folder.empty() && !from_folder) {
        for (int index = 0; index < kLibraryCount; ++index) {
            const std::string sibling = LibraryFileName(static_cast<LibraryId>(index));
            struct stat info {};
            std::string ignored;
            if (sibling != file && ::stat((folder + sibling).c_str(), &info) == 0) {
                if (auto copy = DynamicLibrary::OpenFromFolder(folder, sibling, ignored)) {
                    sibling_copies.push_back(std::move(copy));
                }
            }
        }
    }

    std::string error;
    status.module = from_folder ? DynamicLibrary::OpenFromFolder(folder, file, error)
                                : DynamicLibrary::Open(file, error);
    PinSystemLibrariesLoadedSince(loaded_before);
    if (!status.module) {
        last_error_text_ = StringPrintf("Load library %s error: %s", shown.c_str(), error.c_str());
        return false;
    }
    status.source = from_folder ? shown : file;
    return true;
}

bool TFFLoader::BindLibrary(LibraryId id, LibraryStatus& status) {
    const std::string file = LibraryFileName(id);
    for (const FFEntryBinding& binding : FFEntryBindings()) {
        if (binding.library != id) {
            continue;
        }
        std::string error;
        void* address = status.module.Symbol(binding.name, error);
        binding.store(address);
        if (!address && binding.required) {
            last_error_text_ = StringPrintf("Load function %s@%s error: %s", binding.name,
                                            file.c_str(), error.c_str());
            return false;
        }
    }

    const unsigned version = Item(id).runtime_version();
    const int major = static_cast<int>(version >> 16);
    if (major != Item(id).header_major) {
        last_error_text_ = StringPrintf(
            "Load library %s error: version %d.%d.%d does not match the expected major %d",
            status.source.c_str(), major, static_cast<int>((version >> 8) & 0xff),
            static_cast<int>(version & 0xff), Item(id).header_major);
        return false;
    }

    if (id == LibraryId::avformat) {
        // Balanced by one avformat_network_deinit when the library goes.
        status.network_initialised = ff.avformat_network_init() >= 0;
        if (!status.network_initialised) {
            Log(nullptr, llWarning, "Network support of avformat could not be initialised.");
        }
    }
    LogFmt(nullptr, llVerbose, "Loaded %s, version %d.%d.%d", status.source.c_str(), major,
           static_cast<int>((version >> 8) & 0xff), static_cast<int>(version & 0xff));
    return true;
}

void TFFLoader::RunFollowUp(LibraryId id) {
    switch (id) {
        case LibraryId::avutil:
            if (hook_log_) {
                HookLibraryLog();
            }
            break;
        case LibraryId::avformat:
            RegisterUnicodeProtocol();
            break;
        case LibraryId::avdevice:
            // Device formats ("lavfi", "x11grab", "alsa", ...) are found
            // by name only once avformat holds their lists.
            ff.avdevice_register_all();
            break;
        default:
            break;
    }
}

void TFFLoader::UnloadLibrary(LibraryId id) {
    LibraryStatus& status = status_[static_cast<std::size_t>(id)];
    if (id == LibraryId::avdevice && status.loaded && ff.avpriv_register_devices) {
        // avformat may stay: it must not keep lists that point into avdevice.
        ff.avpriv_register_devices(nullptr, nullptr);
    }
    if (status.network_initialised && ff.avformat_network_deinit) {
        ff.avformat_network_deinit();
    }
    status.network_initialised = false;
    // Every row, also after a binding that stopped half-way.
    ClearEntries(id);
    status.loaded = false;
    status.module.Close();
    status.source.clear();
}

TFFLoader& FFLoader() {
    static TFFLoader loader;
    return loader;
}

bool LibraryUser::LoadLibraries(const std::string& folder) {
    TFFLoader& loader = FFLoader();
    loader.SetLibraryPath(folder);
    if (!loader.LoadLibs(libraries_)) {
        last_error_text_ = loader.LastErrorText();
        return false;
    }
    OnLibrariesLoaded();
    return true;
}

bool LibraryUser::LibrariesLoaded() const {
    return FFLoader().LibrarySetLoaded(libraries_);
}

void LibraryUser::CheckLibraries() const {
    FFLoader().CheckLibs(libraries_);
}

}  // namespace tavrin

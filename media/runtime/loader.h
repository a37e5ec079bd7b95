// The media library loader: loads the FFmpeg libraries from a folder chosen at
// run time (or the system search path), binds their entry points into the
// process-wide table `ff` and runs each library's follow-up step.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "media/runtime/dynamic_library.h"
#include "media/runtime/ff_api.h"

namespace tavrin {

// A set of libraries: bit i for LibraryId i. Sets are walked from identifier
// 0 upwards for loading and unloading alike.
using LibrarySet = std::uint8_t;

constexpr LibrarySet LibraryBit(LibraryId id) {
    return static_cast<LibrarySet>(1u << static_cast<int>(id));
}

inline constexpr LibrarySet AllLibs = (1u << kLibraryCount) - 1;
inline constexpr LibrarySet EncoderLibs = AllLibs;
inline constexpr LibrarySet PlayerLibs = AllLibs;
inline constexpr LibrarySet DecoderLibs =
    LibraryBit(LibraryId::avcodec) | LibraryBit(LibraryId::avformat) |
    LibraryBit(LibraryId::avutil) | LibraryBit(LibraryId::swresample) |
    LibraryBit(LibraryId::swscale);

// Base name of a library, e.g. "avformat".
const char* LibraryName(LibraryId id);
// The major version of the headers we build against, e.g. 59 for avcodec.
int LibraryHeaderMajor(LibraryId id);
// The file the loader opens, e.g. "libavformat.so.59".
std::string LibraryFileName(LibraryId id);
// The folder "LibAV" next to the running executable: the folder components
// load from unless told otherwise.
std::string DefaultLibraryFolder();

class TFFLoader {
public:
    TFFLoader() = default;
    // Unloads every library.
    ~TFFLoader();
    TFFLoader(const TFFLoader&) = delete;
    TFFLoader& operator=(const TFFLoader&) = delete;

    // The folder to load from; empty = the system search path. A library is
    // taken from the folder when the folder holds its file, otherwise from the
    // system search path.
    const std::string& LibraryPath() const;
    void SetLibraryPath(const std::string& folder);
    // Text of the last failure; overwritten by the next failure, never cleared.
    const std::string& LastErrorText() const;
    // Whether loading avutil installs our log callback (true from the start).
    bool HookLog() const { return hook_log_; }
    void SetHookLog(bool hook) { hook_log_ = hook; }

    // Loads every library of the (non-empty) set; false on the first failure,
    // after which the whole requested set is unloaded.
    bool LoadLibs(LibrarySet set);
    void UnloadLibs(LibrarySet set);
    bool LibrarySetLoaded(LibrarySet set) const;
    // Raises FFmpegException "Library %s not loaded." for the first member
    // (lowest identifier) that is not loaded.
    void CheckLibs(LibrarySet set) const;

private:
    struct LibraryStatus {
        DynamicLibrary module;
        std::string source;  // the path or name it was opened by, for messages
        bool loaded = false;
        bool network_initialised = false;
    };

    bool LoadLibrary(LibraryId id);
    bool OpenModule(LibraryId id, LibraryStatus& status);
    bool BindLibrary(LibraryId id, LibraryStatus& status);
    void RunFollowUp(LibraryId id);
    void UnloadLibrary(LibraryId id);

    std::string library_path_;
    std::string last_error_text_;
    bool hook_log_ = true;
    std::array<LibraryStatus, kLibraryCount> status_{};
};

// The process-wide loader.
TFFLoader& FFLoader();

// What every media component offers around the loader: loading its set of
// libraries from a folder, asking whether they are still loaded, and its own
// last-error text. Components inherit it (or hold one).
class LibraryUser {
public:
    explicit LibraryUser(LibrarySet libraries) : libraries_(libraries) {}
    virtual ~LibraryUser() = default;

    LibrarySet Libraries() const { return libraries_; }

    // Sets the loader's folder and loads the component's set; on failure the
    // loader's text becomes the component's LastErrorText.
    bool LoadLibraries(const std::string& folder = DefaultLibraryFolder());
    bool LibrariesLoaded() const;
    // Raises FFmpegException "Library %s not loaded." for the first library of
    // the set that is not loaded.
    void CheckLibraries() const;

    const std::string& LastErrorText() const { return last_error_text_; }
    void SetLastErrorText(std::string text) { last_error_text_ = std::move(text); }

protected:
    // Runs after every successful LoadLibraries; components reset their
    // option dictionaries here.
    virtual void OnLibrariesLoaded() {}

private:
    LibrarySet libraries_;
    std::string last_error_text_;
};

}  // namespace tavrin

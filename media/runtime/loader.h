// The media library loader: loads the FFmpeg libraries from a folder chosen at
// run time (or the system search path), binds their entry points into the
// process-wide table `ff` and runs each library's follow-up step.
#pragma once

#include <cstdint>
#include <string>

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

class TFFLoader {
public:
    const std::string& LibraryPath() const;
    void SetLibraryPath(const std::string& folder);
    // Text of the last failure; overwritten by the next failure, never cleared.
    const std::string& LastErrorText() const;

    // Loads every library of the (non-empty) set; false on the first failure,
    // after which the whole requested set is unloaded.
    bool LoadLibs(LibrarySet set);
    void UnloadLibs(LibrarySet set);
    bool LibrarySetLoaded(LibrarySet set) const;
    // Raises FFmpegException "Library %s not loaded." for the first member
    // (lowest identifier) that is not loaded.
    void CheckLibs(LibrarySet set) const;
};

// The process-wide loader.
TFFLoader& FFLoader();

}  // namespace tavrin

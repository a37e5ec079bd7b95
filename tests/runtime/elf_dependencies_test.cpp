// The ELF dependency readers, from files and from mapped images; and no
// program or shared object we build links against FFmpeg or SDL: they are
// loaded at run time only.
#include "media/runtime/elf_dependencies.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fixtures/build_paths.h"
#include "media/runtime/dynamic_library.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;

bool IsMediaLibrary(const std::string& needed) {
    return needed.rfind("libav", 0) == 0 || needed.rfind("libsw", 0) == 0 ||
           needed.rfind("libSDL", 0) == 0;
}

TEST(ElfDependencies, ReaderSeesTheDependenciesOfFFmpegItself) {
    std::string error;
    const auto needed = ReadElfNeeded("/usr/lib/x86_64-linux-gnu/libavformat.so.59", &error);
    ASSERT_TRUE(needed) << error;
    EXPECT_NE(std::find(needed->begin(), needed->end(), "libavcodec.so.59"), needed->end());
    EXPECT_NE(std::find(needed->begin(), needed->end(), "libavutil.so.57"), needed->end());

    EXPECT_FALSE(ReadElfNeeded(std::string(testing::kSourceDir) + "/CMakeLists.txt", &error));
    EXPECT_EQ(error, "not an ELF file");
}

// The loader reads what loaded libraries need from their mapped images; that
// must agree with the files, whether or not the dynamic linker relocated the
// dynamic sections in place.
TEST(ElfDependencies, MappedImagesNameWhatTheirFilesNeed) {
    int compared = 0;
    bool saw_cxx_runtime = false;
    for (const LoadedLibrary& library : LoadedLibraries()) {
        if (library.path.rfind("linux-vdso", 0) == 0) {
            continue;  // the kernel's, with no file behind it
        }
        ASSERT_TRUE(library.needed) << library.path;
        std::string error;
        const auto from_file = ReadElfNeeded(library.path, &error);
        ASSERT_TRUE(from_file) << library.path << ": " << error;
        EXPECT_EQ(*library.needed, *from_file) << library.path;
        if (library.path.find("libstdc++") != std::string::npos) {
            saw_cxx_runtime = true;
            EXPECT_FALSE(library.needed->empty());
        }
        ++compared;
    }
    EXPECT_TRUE(saw_cxx_runtime);
    EXPECT_GE(compared, 4);  // libstdc++, libm, libc, the dynamic linker at least
}

TEST(ElfDependencies, NoBuiltBinaryNeedsAMediaLibrary) {
    const fs::path self = fs::canonical("/proc/self/exe");
    bool saw_self = false;
    int binaries = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(
             testing::kBinaryDir, fs::directory_options::skip_permission_denied)) {
        if (!entry.is_regular_file() || entry.is_symlink() || !IsElfFile(entry.path())) {
            continue;
        }
        std::string error;
        const auto needed = ReadElfNeeded(entry.path(), &error);
        ASSERT_TRUE(needed) << entry.path() << ": " << error;
        if (needed->empty()) {
            continue;  // object files, static programs
        }
        ++binaries;
        if (fs::equivalent(entry.path(), self)) {
            saw_self = true;
        }
        for (const std::string& name : *needed) {
            EXPECT_FALSE(IsMediaLibrary(name)) << entry.path() << " needs " << name;
        }
    }
    EXPECT_TRUE(saw_self) << "the scan missed this test program";
    EXPECT_GE(binaries, 2);
}

}  // namespace
}  // namespace tavrin

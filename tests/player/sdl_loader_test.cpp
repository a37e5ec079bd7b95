// The SDL binding against the system's SDL, copies of it in "LibAV" folders,
// a library that is not SDL, and a missing file.
#include "media/player/sdl_loader.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "fixtures/media_fixtures.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

const fs::path kSystemSDL = fs::path("/usr/lib/x86_64-linux-gnu") / kSDLLibraryFile;

// A folder holding a copy of SDL under its run-time name.
fs::path FolderWithSDL(const TempDir& dir, const std::string& name) {
    const fs::path folder = dir / name;
    fs::create_directories(folder);
    fs::copy_file(kSystemSDL, folder / kSDLLibraryFile);
    return folder;
}

void ExpectEveryEntryBound(const TSDLLoader& loader) {
    for (const SDLEntryBinding& binding : SDLEntryBindings()) {
        EXPECT_TRUE(binding.is_bound(loader.Entries())) << binding.name;
    }
}

TEST(SDLLoader, LoadsTheSystemLibraryAndBindsEveryEntry) {
    TempDir dir;
    TSDLLoader loader;
    // A folder without the file means the system's copy.
    ASSERT_TRUE(loader.Load(dir.path().string(), kSDLLibraryFile)) << loader.LastErrorText();
    EXPECT_TRUE(loader.Loaded());
    EXPECT_EQ(loader.LoadedPath(), (dir / kSDLLibraryFile).string());
    EXPECT_EQ(loader.LinkedVersion()[0], 2);
    ExpectEveryEntryBound(loader);

    // The same path again: nothing is reloaded.
    const auto quit = loader.Entries().SDL_Quit;
    EXPECT_TRUE(loader.Load(dir.path().string() + "/", kSDLLibraryFile));
    EXPECT_EQ(loader.Entries().SDL_Quit, quit);

    loader.Unload();
    EXPECT_FALSE(loader.Loaded());
    EXPECT_TRUE(loader.LoadedPath().empty());
    EXPECT_EQ(loader.LinkedVersion()[0], 0);
    for (const SDLEntryBinding& binding : SDLEntryBindings()) {
        EXPECT_FALSE(binding.is_bound(loader.Entries())) << binding.name;
    }
}

TEST(SDLLoader, RefusesAFileAnotherLoaderHoldsButNotAnotherCopy) {
    TempDir dir;
    const fs::path first_folder = FolderWithSDL(dir, "first");
    const fs::path second_folder = FolderWithSDL(dir, "second");
    TSDLLoader first;
    ASSERT_TRUE(first.Load(first_folder.string(), kSDLLibraryFile)) << first.LastErrorText();

    TSDLLoader second;
    EXPECT_FALSE(second.Load(first_folder.string(), kSDLLibraryFile));
    EXPECT_EQ(second.LastErrorText(),
              (first_folder / kSDLLibraryFile).string() + " alreay loaded in another instance.");
    EXPECT_FALSE(second.Loaded());

    EXPECT_TRUE(second.Load(second_folder.string(), kSDLLibraryFile)) << second.LastErrorText();
    ExpectEveryEntryBound(second);
    // The copies are different libraries.
    EXPECT_NE(first.Entries().SDL_Init, second.Entries().SDL_Init);

    // Once the first lets go, its file is free again.
    first.Unload();
    TSDLLoader third;
    EXPECT_TRUE(third.Load(first_folder.string(), kSDLLibraryFile)) << third.LastErrorText();
}

TEST(SDLLoader, ReportsMissingFilesAndMissingEntries) {
    TempDir dir;
    TSDLLoader loader;
    EXPECT_FALSE(loader.Load(dir.path().string(), "libSDL-none.so.0"));
    EXPECT_TRUE(loader.LastErrorText().starts_with(
        "Load library " + (dir / "libSDL-none.so.0").string() + " error: "))
        << loader.LastErrorText();

    // A real library that is not SDL.
    const fs::path folder = dir / "LibAV";
    fs::create_directories(folder);
    fs::copy_file("/usr/lib/x86_64-linux-gnu/libz.so.1", folder / kSDLLibraryFile);
    EXPECT_FALSE(loader.Load(folder.string(), kSDLLibraryFile));
    EXPECT_TRUE(loader.LastErrorText().starts_with("Load function SDL_GetVersion@" +
                                                   std::string(kSDLLibraryFile) + " error: "))
        << loader.LastErrorText();
    EXPECT_FALSE(loader.Loaded());
    EXPECT_EQ(loader.Entries().SDL_GetVersion, nullptr);

    // A failed load does not keep the path: a good copy there loads later.
    fs::remove(folder / kSDLLibraryFile);
    fs::copy_file(kSystemSDL, folder / kSDLLibraryFile);
    EXPECT_TRUE(loader.Load(folder.string(), kSDLLibraryFile)) << loader.LastErrorText();
}

}  // namespace
}  // namespace tavrin

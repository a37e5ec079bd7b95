// The loader against the system's FFmpeg, against a "LibAV" folder holding
// real copies of it, and against broken folders: a file that is not a library,
// a stand-in libavutil lacking entries, one of another major version, names
// over the length limit.
#include "media/runtime/loader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"
#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

const fs::path kSystemLibraries = "/usr/lib/x86_64-linux-gnu";

std::vector<LibraryId> Members(LibrarySet set) {
    std::vector<LibraryId> members;
    for (int index = 0; index < kLibraryCount; ++index) {
        if ((set >> index) & 1u) {
            members.push_back(static_cast<LibraryId>(index));
        }
    }
    return members;
}

// No row of any library in the set holds an address, and none counts as loaded.
void ExpectNothingBound(LibrarySet set) {
    for (const FFEntryBinding& binding : FFEntryBindings()) {
        if (set & LibraryBit(binding.library)) {
            EXPECT_FALSE(binding.is_bound()) << binding.name << " still bound";
        }
    }
    for (const LibraryId id : Members(set)) {
        EXPECT_FALSE(FFLoader().LibrarySetLoaded(LibraryBit(id))) << LibraryName(id);
    }
}

void ExpectRequiredEntriesBound(LibrarySet set) {
    for (const FFEntryBinding& binding : FFEntryBindings()) {
        if ((set & LibraryBit(binding.library)) && binding.required) {
            EXPECT_TRUE(binding.is_bound()) << binding.name;
        }
    }
}

// The file an entry's code comes from.
std::string ObjectFileOf(const void* address) {
    Dl_info info{};
    return dladdr(address, &info) != 0 && info.dli_fname ? info.dli_fname : "";
}

// The seven libraries as mapped in this process: which one, and from where.
std::vector<std::pair<LibraryId, fs::path>> MappedMediaLibraries() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    std::vector<std::pair<LibraryId, fs::path>> mapped;
    while (std::getline(maps, line)) {
        const std::size_t slash = line.find('/');
        if (slash == std::string::npos) {
            continue;
        }
        const fs::path file = line.substr(slash);
        for (int index = 0; index < kLibraryCount; ++index) {
            const std::string name = LibraryFileName(static_cast<LibraryId>(index));
            if (file.filename() == name || file.filename().string().starts_with(name + ".")) {
                mapped.emplace_back(static_cast<LibraryId>(index), file.parent_path());
            }
        }
    }
    return mapped;
}

void WriteText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

std::string FirstMissingAvutilEntry() {
    for (const FFEntryBinding& binding : FFEntryBindings()) {
        if (binding.library == LibraryId::avutil && binding.required &&
            std::string(binding.name) != "avutil_version") {
            return binding.name;
        }
    }
    return "";
}

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }

    static void Reset() {
        FFLoader().UnloadLibs(AllLibs);
        FFLoader().SetLibraryPath("");
        FFLoader().SetHookLog(true);
    }

    // A "LibAV" folder in a fresh temporary folder.
    fs::path MakeLibraryFolder() {
        const fs::path folder = temp_ / "LibAV";
        fs::create_directories(folder);
        return folder;
    }

    TempDir temp_;
};

TEST_F(LoaderTest, EmptyOrAbsentFolderLoadsEveryLibraryFromTheSystem) {
    const fs::path empty_folder = MakeLibraryFolder();
    for (const std::string& folder :
         {std::string(), empty_folder.string(), (temp_ / "absent" / "LibAV").string()}) {
        SCOPED_TRACE("folder '" + folder + "'");
        FFLoader().SetLibraryPath(folder);
        ASSERT_TRUE(FFLoader().LoadLibs(AllLibs)) << FFLoader().LastErrorText();
        EXPECT_TRUE(FFLoader().LibrarySetLoaded(AllLibs));
        EXPECT_NO_THROW(FFLoader().CheckLibs(AllLibs));
        ExpectRequiredEntriesBound(AllLibs);
        EXPECT_EQ(static_cast<int>(ff.avcodec_version() >> 16), LIBAVCODEC_VERSION_MAJOR);
        EXPECT_EQ(static_cast<int>(ff.swscale_version() >> 16), LIBSWSCALE_VERSION_MAJOR);
        EXPECT_EQ(fs::canonical(ObjectFileOf(reinterpret_cast<void*>(ff.avformat_version))),
                  fs::canonical(kSystemLibraries / "libavformat.so.59"));
        // The entries really work through the table.
        AVDictionary* dictionary = nullptr;
        ASSERT_EQ(ff.av_dict_set(&dictionary, "key", "value", 0), 0);
        EXPECT_STREQ(ff.av_dict_get(dictionary, "key", nullptr, 0)->value, "value");
        ff.av_dict_free(&dictionary);

        FFLoader().UnloadLibs(AllLibs);
        ExpectNothingBound(AllLibs);
    }
}

TEST_F(LoaderTest, BrokenFolderFailsCleanlyAndAGoodFolderLoadsAfterwards) {
    const std::string partial_stub = testing::kStubAvutilPartial;
    const std::string old_stub = testing::kStubAvutilOldMajor;
    struct FolderFile {
        std::string name;
        std::string source;  // a file to copy, or "" for a text file
    };
    struct Case {
        const char* what;
        std::vector<FolderFile> files;
        LibrarySet set;
        std::string expected_start;  // after "<folder>/"
        std::string also_mentions;   // after "<folder>/", or ""
    };
    const std::string avcodec_copy = (kSystemLibraries / "libavcodec.so.59").string();
    const std::vector<Case> cases = {
        {"a file that is not a library",
         {{"libavcodec.so.59", ""}},
         DecoderLibs,
         "libavcodec.so.59 error: ",
         ""},
        {"a dependency in the folder that is not a library",
         {{"libavcodec.so.59", avcodec_copy}, {"libavutil.so.57", ""}},
         LibraryBit(LibraryId::avcodec),
         "libavcodec.so.59 error: ",
         "libavutil.so.57"},
        {"a library lacking a required entry",
         {{"libavutil.so.57", partial_stub}},
         LibraryBit(LibraryId::avutil),
         "",
         ""},
        {"a library lacking an entry, after others of the set loaded",
         {{"libavutil.so.57", partial_stub}},
         DecoderLibs,
         "",
         ""},
        {"a library of another major version",
         {{"libavutil.so.57", old_stub}},
         LibraryBit(LibraryId::avutil),
         "libavutil.so.57 error: version 56.1.100 does not match the expected major 57",
         ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        TempDir temp;
        const fs::path folder = temp / "LibAV";
        fs::create_directories(folder);
        for (const FolderFile& file : test.files) {
            if (file.source.empty()) {
                WriteText(folder / file.name, "not a shared library\n");
            } else {
                fs::copy_file(file.source, folder / file.name);
            }
        }
        FFLoader().SetLibraryPath(folder.string());
        EXPECT_FALSE(FFLoader().LoadLibs(test.set));
        const std::string text = FFLoader().LastErrorText();
        if (test.expected_start.empty()) {
            const std::string start =
                "Load function " + FirstMissingAvutilEntry() + "@libavutil.so.57 error: ";
            EXPECT_EQ(text.rfind(start, 0), 0u) << text;
            EXPECT_GT(text.size(), start.size()) << "no reason given";
        } else {
            const std::string start = "Load library " + (folder / test.expected_start).string();
            EXPECT_EQ(text.rfind(start, 0), 0u) << text;
            if (start.ends_with("error: ")) {
                EXPECT_GT(text.size(), start.size()) << "no reason given";
            } else {
                EXPECT_EQ(text, start);
            }
        }
        if (!test.also_mentions.empty()) {
            EXPECT_NE(text.find((folder / test.also_mentions).string()), std::string::npos) << text;
        }
        ExpectNothingBound(AllLibs);
        EXPECT_THROW(FFLoader().CheckLibs(test.set), FFmpegException);

        FFLoader().SetLibraryPath("");
        EXPECT_TRUE(FFLoader().LoadLibs(test.set)) << FFLoader().LastErrorText();
        EXPECT_EQ(FFLoader().LastErrorText(), text) << "a success does not clear the text";
        FFLoader().UnloadLibs(AllLibs);
    }
}

TEST_F(LoaderTest, FailureUnloadsLibrariesAnEarlierRequestLoaded) {
    ASSERT_TRUE(FFLoader().LoadLibs(LibraryBit(LibraryId::avcodec)));
    const fs::path folder = MakeLibraryFolder();
    WriteText(folder / "libswscale.so.6", "");
    FFLoader().SetLibraryPath(folder.string());

    EXPECT_FALSE(FFLoader().LoadLibs(DecoderLibs));
    EXPECT_EQ(FFLoader().LastErrorText().rfind(
                  "Load library " + (folder / "libswscale.so.6").string() + " error: ", 0),
              0u)
        << FFLoader().LastErrorText();
    ExpectNothingBound(AllLibs);
}

TEST_F(LoaderTest, RequestingALoadedLibraryAgainRepeatsOnlyItsFollowUpStep) {
    ASSERT_TRUE(FFLoader().LoadLibs(LibraryBit(LibraryId::avutil)));
    const auto malloc_entry = ff.av_malloc;
    const int hooked_level = ff.av_log_get_level();
    const int other_level = hooked_level == AV_LOG_TRACE ? AV_LOG_QUIET : AV_LOG_TRACE;

    // The log hook applies the logger's level to the library again.
    ff.av_log_set_level(other_level);
    ASSERT_TRUE(FFLoader().LoadLibs(LibraryBit(LibraryId::avutil)));
    EXPECT_EQ(ff.av_log_get_level(), hooked_level);
    // Not reloaded: the library's own state (the level just set) would be gone.
    ff.av_log_set_level(other_level);
    FFLoader().SetHookLog(false);
    ASSERT_TRUE(FFLoader().LoadLibs(LibraryBit(LibraryId::avutil)));
    EXPECT_EQ(ff.av_log_get_level(), other_level);
    EXPECT_EQ(ff.av_malloc, malloc_entry);
}

TEST_F(LoaderTest, CheckLibsNamesTheLowestMissingLibrary) {
    ASSERT_TRUE(
        FFLoader().LoadLibs(LibraryBit(LibraryId::avcodec) | LibraryBit(LibraryId::avutil)));
    EXPECT_FALSE(FFLoader().LibrarySetLoaded(DecoderLibs));
    try {
        FFLoader().CheckLibs(DecoderLibs);
        ADD_FAILURE() << "CheckLibs raised nothing";
    } catch (const FFmpegException& error) {
        EXPECT_STREQ(error.what(), "Library avformat not loaded.");
    }
    EXPECT_NO_THROW(FFLoader().CheckLibs(LibraryBit(LibraryId::avutil)));
}

TEST_F(LoaderTest, ComponentWrapperLoadsItsSetAndKeepsTheLoadersText) {
    class Component : public LibraryUser {
    public:
        Component() : LibraryUser(DecoderLibs) {}
        int loaded_events = 0;

    protected:
        void OnLibrariesLoaded() override { ++loaded_events; }
    };
    Component component;
    const fs::path folder = MakeLibraryFolder();
    WriteText(folder / "libavformat.so.59", "");

    EXPECT_FALSE(component.LoadLibraries(folder.string()));
    EXPECT_EQ(component.LastErrorText(), FFLoader().LastErrorText());
    EXPECT_NE(component.LastErrorText().find("libavformat.so.59"), std::string::npos);
    EXPECT_EQ(component.loaded_events, 0);
    EXPECT_THROW(component.CheckLibraries(), FFmpegException);

    ASSERT_TRUE(component.LoadLibraries(""));
    EXPECT_TRUE(component.LibrariesLoaded());
    EXPECT_NO_THROW(component.CheckLibraries());
    EXPECT_EQ(component.loaded_events, 1);
    // Another component's unload takes the libraries away from this one too.
    FFLoader().UnloadLibs(AllLibs);
    EXPECT_FALSE(component.LibrariesLoaded());
}

TEST_F(LoaderTest, DefaultFolderIsLibAVNextToTheExecutable) {
    EXPECT_EQ(fs::path(DefaultLibraryFolder()),
              fs::read_symlink("/proc/self/exe").parent_path() / "LibAV");
}

TEST_F(LoaderTest, LibrariesAndTheirDependenciesComeFromTheFolderThatHoldsThem) {
    struct Case {
        const char* what;
        std::vector<LibraryId> copied;
    };
    const std::vector<Case> cases = {
        {"a folder with all seven",
         {LibraryId::avcodec, LibraryId::avdevice, LibraryId::avfilter, LibraryId::avformat,
          LibraryId::avutil, LibraryId::swresample, LibraryId::swscale}},
        // The system's avcodec, loaded first, must still get the folder's
        // avutil and swresample as its dependencies.
        {"a folder with two", {LibraryId::avutil, LibraryId::swresample}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        TempDir temp;
        const fs::path folder = temp / "LibAV";
        fs::create_directories(folder);
        for (const LibraryId id : test.copied) {
            fs::copy_file(kSystemLibraries / LibraryFileName(id), folder / LibraryFileName(id));
        }
        FFLoader().SetLibraryPath(folder.string());
        ASSERT_TRUE(FFLoader().LoadLibs(AllLibs)) << FFLoader().LastErrorText();
        EXPECT_EQ(ObjectFileOf(reinterpret_cast<void*>(ff.avutil_version)),
                  (folder / "libavutil.so.57").string());

        // Each of the seven files is mapped exactly from one place: the
        // folder when it holds the file, the system otherwise.
        const auto mapped = MappedMediaLibraries();
        for (int index = 0; index < kLibraryCount; ++index) {
            const auto id = static_cast<LibraryId>(index);
            const bool copied =
                std::find(test.copied.begin(), test.copied.end(), id) != test.copied.end();
            int from_folder = 0, from_elsewhere = 0;
            for (const auto& [mapped_id, place] : mapped) {
                if (mapped_id == id) {
                    ++(place == folder ? from_folder : from_elsewhere);
                }
            }
            EXPECT_EQ(from_folder > 0, copied) << LibraryName(id);
            EXPECT_EQ(from_elsewhere > 0, !copied) << LibraryName(id);
        }
        // Unloading really unloads: nothing that stays keeps them mapped.
        FFLoader().UnloadLibs(AllLibs);
        EXPECT_TRUE(MappedMediaLibraries().empty());
    }
}

TEST_F(LoaderTest, NamesOverTheLengthLimitGiveAClearText) {
    std::string deep_folder = temp_.path().string();
    while (deep_folder.size() <= PATH_MAX) {
        deep_folder += "/" + std::string(200, 'd');
    }
    const std::string long_component = (temp_ / std::string(NAME_MAX + 1, 'n')).string();
    for (const std::string& folder : {deep_folder, long_component}) {
        FFLoader().SetLibraryPath(folder);
        EXPECT_FALSE(FFLoader().LoadLibs(DecoderLibs));
        EXPECT_EQ(FFLoader().LastErrorText(),
                  "Load library " + folder + "/libavcodec.so.59 error: File name too long");
        ExpectNothingBound(AllLibs);
    }
}

}  // namespace
}  // namespace tavrin

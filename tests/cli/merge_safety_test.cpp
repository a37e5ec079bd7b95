// What the programs do to the user's files, tried as a careless or hostile
// user would: an output that is an input, files and links where the merge's
// own files go, two merges at once, odd audio inputs, very short videos, a
// full disk, long names, and runs that are killed. Each case checks every
// input and every other file of the output folder afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/merge_test_support.h"
#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

const std::string kMerge = ProgramPath("tavrin-merge");
const std::string kTranscode = ProgramPath("tavrin-transcode");

// FNV-1a of a file's bytes (through a link, its target's).
std::uint64_t Checksum(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::uint64_t hash = 14695981039346656037ull;
    char c = 0;
    while (in.get(c)) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    return hash;
}

// What a set of files holds, to be compared after a run: content for files,
// the target for links.
class FileSnapshot {
public:
    void Add(const fs::path& file) {
        std::error_code error;
        if (fs::is_symlink(file, error)) {
            entries_[file] = "link to " + fs::read_symlink(file).string();
        } else {
            entries_[file] = std::to_string(Checksum(file));
        }
    }
    void AddFolder(const fs::path& folder) {
        for (const auto& name : FolderEntries(folder)) {
            Add(folder / name);
        }
    }
    // Every file is still there, unchanged.
    void ExpectUnchanged() const {
        for (const auto& [file, content] : entries_) {
            FileSnapshot now;
            now.Add(file);
            EXPECT_EQ(now.entries_[file], content) << file;
        }
    }
    // The folder holds the snapshot's files and the given new names only.
    void ExpectFolderGained(const fs::path& folder, std::vector<std::string> added) const {
        std::vector<std::string> expected = std::move(added);
        for (const auto& [file, content] : entries_) {
            if (file.parent_path() == folder) {
                expected.push_back(file.filename().string());
            }
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(FolderEntries(folder), expected);
    }

private:
    std::map<fs::path, std::string> entries_;
};

int StreamCount(const fs::path& file, const std::string& type) {
    const std::string text =
        RunFfprobe("-v error -select_streams " + type + " -show_entries stream=index -of csv=p=0 " +
                   ShellQuote(file.string()));
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// Short media for every case: a 3 s video, two 3 s songs (together longer
// than the video, so they are joined and cut), a 2 s song that carries its
// cover picture as stream 0, and a 2 s second video with sound.
class SafetyMedia {
public:
    static SafetyMedia& Get() {
        static SafetyMedia media;
        return media;
    }
    fs::path Path(const std::string& name) const { return dir_ / name; }

private:
    SafetyMedia() {
        MakeMergeVideo(dir_, "video.mp4", 3);
        MakeSong(dir_, "a.mp3", 3, 440);
        MakeSong(dir_, "b.mp3", 3, 880);
        MakeSong(dir_, "c.mp3", 2, 660);
        MakeMergeVideo(dir_, "other.mp4", 2);
        MakeSongWithCover(dir_, "cover.mka", dir_ / "c.mp3");
    }
    TempDir dir_;
};

class MergeSafetyTest : public ::testing::Test {
protected:
    void SetUp() override {
        media_ = &SafetyMedia::Get();
        out_ = dir_.path() / "out";
        fs::create_directories(out_);
    }

    std::string Q(const fs::path& path) const { return ShellQuote(path.string()); }

    // tavrin-merge with a home of its own; exit status, stdout and stderr.
    int Merge(const std::string& arguments, std::string* out = nullptr, std::string* err = nullptr,
              const fs::path& folder = {}) const {
        const fs::path err_file = dir_.path() / "merge.err";
        std::string output;
        const int status = RunCommand(
            shell_setup_ + Environment() + kMerge + " --format MP4 --out " +
                Q(folder.empty() ? out_ : folder) + " " + arguments + " 2>" + Q(err_file),
            &output);
        if (out != nullptr) {
            *out = output;
        }
        if (err != nullptr) {
            *err = ReadWholeFile(err_file);
        }
        return status;
    }
    std::string Environment() const { return OwnHomeEnvironment(dir_.path()); }
    // The name the dry run would write.
    std::string DryRunOutput(const std::string& arguments) const {
        std::string out;
        EXPECT_EQ(Merge("--dry-run " + arguments, &out), 0);
        const std::string key = "output file: ";
        const auto at = out.find(key);
        return at == std::string::npos
                   ? std::string()
                   : out.substr(at + key.size(), out.find('\n', at) - at - key.size());
    }
    // Runs a command in the background with SIGINT at its default, as a
    // terminal starts it (a shell's "&" ignores it), sends it the signal
    // after the delay and returns its exit status.
    // tavrin-merge started as a terminal starts it, with the stop signals at
    // their default from the first instruction (a shell's "&" would ignore
    // SIGINT until the program sets its own handler), sent `signal` once
    // `ready` holds or gives up; "exit <status>" or "killed by <signal>".
    std::string EndAfterSignal(const std::vector<std::string>& arguments, int signal,
                               const std::function<bool(pid_t)>& ready,
                               const fs::path& temp = {}) const {
        std::vector<std::string> words = {kMerge};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<std::string> environment = {"HOME=" + dir_.path().string(),
                                                "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                                                "PATH=/usr/bin:/bin"};
        if (!temp.empty()) {
            environment.push_back("TMPDIR=" + temp.string());
        }
        const auto pointers = [](std::vector<std::string>& texts) {
            std::vector<char*> list;
            for (auto& text : texts) {
                list.push_back(text.data());
            }
            list.push_back(nullptr);
            return list;
        };
        auto argv = pointers(words);
        auto envp = pointers(environment);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        const std::string err_file = (dir_ / "signalled.err").string();
        posix_spawn_file_actions_addopen(&files, STDERR_FILENO, err_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        pid_t pid = 0;
        const int spawned =
            posix_spawn(&pid, kMerge.c_str(), &files, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&files);
        posix_spawnattr_destroy(&attributes);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << kMerge;
            return {};
        }
        for (int i = 0; i < 10000 && !ready(pid); ++i) {
            ::usleep(1000);
        }
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                 : "killed by " + std::to_string(WTERMSIG(status));
    }
    std::string Songs() const { return Q(media_->Path("a.mp3")) + " " + Q(media_->Path("b.mp3")); }

    // Shell commands run before each merge, such as limits.
    std::string shell_setup_;
    SafetyMedia* media_ = nullptr;
    TempDir dir_;
    fs::path out_;
};

TEST_F(MergeSafetyTest, AnOutputThatIsAnInputIsRefusedBeforeAnythingIsWritten) {
    const fs::path song = dir_ / "song.mp3";
    fs::copy_file(media_->Path("a.mp3"), song);
    const fs::path video = dir_ / "same.mp4";
    fs::copy_file(media_->Path("video.mp4"), video);
    fs::create_symlink(song, dir_ / "song-link.mp3");
    fs::create_hard_link(song, dir_ / "song-hard.mp3");
    fs::create_hard_link(video, dir_ / "video-hard.mp4");
    const struct {
        const char* name;
        std::string arguments;
        fs::path output;
    } cases[] = {
        {"same name", "-i " + Q(song) + " " + Q(song), song},
        {"another spelling", "-i " + Q(song) + " " + Q(dir_.path() / "." / "song.mp3"), song},
        {"symbolic link", "-i " + Q(song) + " " + Q(dir_ / "song-link.mp3"), song},
        {"hard link", "-i " + Q(song) + " " + Q(dir_ / "song-hard.mp3"), song},
        {"second input, video encoder",
         "-i " + Q(media_->Path("a.mp3")) + " -i " + Q(video) + " -c:v mpeg4 -y " +
             Q(dir_ / "video-hard.mp4"),
         video},
    };
    FileSnapshot before;
    before.AddFolder(dir_.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string log;
        EXPECT_EQ(RunCommand(kTranscode + " -loglevel error " + c.arguments + " 2>&1", &log), 1)
            << log;
        EXPECT_NE(log.find("is the same file as input"), std::string::npos) << log;
        EXPECT_NE(log.find(c.output.filename().string()), std::string::npos) << log;
        before.ExpectUnchanged();
    }
}

TEST_F(MergeSafetyTest, TheJoinsTemporaryFileNeverTakesAUsersFileOrLink) {
    const fs::path victim = dir_ / "victim.txt";
    std::ofstream(victim) << "the user's own text\n";
    const struct {
        const char* name;
        void (*make)(const fs::path& temp, const fs::path& victim);
    } cases[] = {
        {"a file of that name",
         [](const fs::path& temp, const fs::path&) { std::ofstream(temp) << "mine\n"; }},
        {"a link to a file",
         [](const fs::path& temp, const fs::path& victim) { fs::create_symlink(victim, temp); }},
        {"a dangling link",
         [](const fs::path& temp, const fs::path& victim) {
             fs::create_symlink(victim.string() + ".new", temp);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out_);
        fs::create_directories(out_);
        c.make(out_ / "tempaudio-a.mp3", victim);
        FileSnapshot before;
        before.Add(victim);
        before.Add(media_->Path("a.mp3"));
        before.Add(media_->Path("b.mp3"));
        before.AddFolder(out_);
        const std::string planned = DryRunOutput(Q(media_->Path("video.mp4")) + " " + Songs());
        std::string out;
        std::string err;
        ASSERT_EQ(Merge(Q(media_->Path("video.mp4")) + " " + Songs(), &out, &err), 0) << err;
        const fs::path written = LastLine(out);
        EXPECT_EQ(written, out_ / "merger-video-tempaudio-a_(1)_(new).mp4");
        EXPECT_EQ(written.string(), planned);
        EXPECT_NEAR(StreamSeconds(written, "a"), 3, 0.1);
        before.ExpectUnchanged();
        before.ExpectFolderGained(out_, {written.filename().string()});
        EXPECT_FALSE(fs::exists(victim.string() + ".new"));
    }
}

TEST_F(MergeSafetyTest, TwoMergesAtOnceIntoOneFolderBothSucceed) {
    FileSnapshot before;
    before.Add(media_->Path("video.mp4"));
    before.Add(media_->Path("a.mp3"));
    before.Add(media_->Path("b.mp3"));
    const std::string one = Environment() + kMerge + " --format MP4 --out " + Q(out_) + " " +
                            Q(media_->Path("video.mp4")) + " " + Songs();
    std::string output;
    ASSERT_EQ(RunCommand("(" + one + " >" + Q(dir_ / "1.out") + " 2>&1; echo $? >" +
                             Q(dir_ / "1.status") + ") & (" + one + " >" + Q(dir_ / "2.out") +
                             " 2>&1; echo $? >" + Q(dir_ / "2.status") + ") & wait",
                         &output),
              0);
    EXPECT_EQ(ReadWholeFile(dir_ / "1.status"), "0\n") << ReadWholeFile(dir_ / "1.out");
    EXPECT_EQ(ReadWholeFile(dir_ / "2.status"), "0\n") << ReadWholeFile(dir_ / "2.out");
    const auto entries = FolderEntries(out_);
    ASSERT_EQ(entries.size(), 2u) << ::testing::PrintToString(entries);
    for (const auto& name : entries) {
        EXPECT_EQ(name.rfind("merger-video-tempaudio-a", 0), 0u) << name;
        EXPECT_NEAR(StreamSeconds(out_ / name, "a"), 3, 0.1) << name;
        EXPECT_NEAR(StreamSeconds(out_ / name, "v"), 3, 0.1) << name;
    }
    before.ExpectUnchanged();
}

TEST_F(MergeSafetyTest, TheAudioInputsFirstSoundStreamIsMerged) {
    const struct {
        const char* name;
        std::string audio;
    } cases[] = {
        {"cover picture first, used directly", Q(media_->Path("cover.mka"))},
        {"cover picture first, joined",
         Q(media_->Path("cover.mka")) + " " + Q(media_->Path("b.mp3"))},
        {"a video given as the audio", Q(media_->Path("other.mp4"))},
    };
    FileSnapshot before;
    for (const char* input : {"video.mp4", "cover.mka", "b.mp3", "other.mp4"}) {
        before.Add(media_->Path(input));
    }
    before.AddFolder(out_);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        std::string err;
        ASSERT_EQ(Merge(Q(media_->Path("video.mp4")) + " " + c.audio, &out, &err), 0) << err;
        const fs::path written = LastLine(out);
        EXPECT_EQ(StreamCount(written, "v"), 1);
        EXPECT_EQ(StreamCount(written, "a"), 1);
        EXPECT_GT(StreamSeconds(written, "a"), 1.9);
        before.ExpectUnchanged();
        before.ExpectFolderGained(out_, {written.filename().string()});
        fs::remove(written);
    }
    // A file without any sound ends the merge with the audio error.
    const fs::path silent = dir_ / "silent.mp4";
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i testsrc=size=64x64:duration=1 -c:v mpeg4 " + Q(silent)));
    std::string err;
    EXPECT_EQ(Merge(Q(media_->Path("video.mp4")) + " " + Q(silent), nullptr, &err), 1);
    EXPECT_NE(err.find("***Audio file open error: " + silent.string() + ": "), std::string::npos)
        << err;
    EXPECT_NE(err.find("no audio stream"), std::string::npos) << err;
    EXPECT_TRUE(FolderEntries(out_).empty());
}

TEST_F(MergeSafetyTest, TheJoinIsCutToTheVideosMilliseconds) {
    for (const double seconds : {0.2, 5.96}) {
        SCOPED_TRACE(seconds);
        const fs::path video = MakeMergeVideo(dir_, "short.mp4", seconds);
        const double length = StreamSeconds(video, "v");
        FileSnapshot before;
        before.Add(video);
        before.Add(media_->Path("a.mp3"));
        before.Add(media_->Path("b.mp3"));
        before.AddFolder(out_);
        std::string out;
        std::string err;
        ASSERT_EQ(Merge(Q(video) + " " + Songs(), &out, &err), 0) << err;
        const fs::path written = LastLine(out);
        // Within one frame of the join's MP3 (1152 samples at 44100 Hz).
        EXPECT_NEAR(StreamSeconds(written, "a"), length, 1152.0 / 44100) << written;
        before.ExpectUnchanged();
        before.ExpectFolderGained(out_, {written.filename().string()});
        fs::remove(written);
    }
}

TEST_F(MergeSafetyTest, AFullDiskLeavesNoBrokenOutput) {
    FileSnapshot before;
    before.Add(media_->Path("video.mp4"));
    before.Add(media_->Path("a.mp3"));
    before.Add(media_->Path("b.mp3"));
    // The join's file fits; the best-quality video does not.
    const auto expect_failed_write = [&](const fs::path& folder, const std::string& reason) {
        std::string out;
        std::string err;
        EXPECT_EQ(
            Merge("--quality 0 --size 640x480 " + Q(media_->Path("video.mp4")) + " " + Songs(),
                  &out, &err, folder),
            1)
            << err;
        EXPECT_NE(err.find(reason), std::string::npos) << err;
        EXPECT_TRUE(FolderEntries(folder).empty())
            << ::testing::PrintToString(FolderEntries(folder));
        EXPECT_TRUE(out.empty()) << out;
        before.ExpectUnchanged();
    };
    {
        // Files limited to 256 KiB, the limit's signal ignored: writes past
        // it fail with EFBIG, as a full disk fails them with ENOSPC.
        SCOPED_TRACE("file size limit");
        shell_setup_ = "trap '' XFSZ; ulimit -f 512; ";
        expect_failed_write(out_, "File too large");
        shell_setup_.clear();
    }
    const fs::path disk = dir_ / "disk";
    fs::create_directories(disk);
    if (::geteuid() != 0 || ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "a small tmpfs cannot be mounted here (needs root and mount rights)";
    }
    struct Unmount {
        fs::path disk;
        ~Unmount() { ::umount(disk.c_str()); }
    } unmount{disk};
    SCOPED_TRACE("full tmpfs");
    expect_failed_write(disk, "No space left on device");
}

TEST_F(MergeSafetyTest, AFullDiskAtTheLastWriteFailsTheMergeAndLeavesNothing) {
    FileSnapshot before;
    before.Add(media_->Path("video.mp4"));
    before.Add(media_->Path("a.mp3"));
    before.Add(media_->Path("b.mp3"));
    const std::string arguments = "--size 640x480 " + Q(media_->Path("video.mp4")) + " " + Songs();
    std::string out;
    std::string err;
    ASSERT_EQ(Merge(arguments, &out, &err), 0) << err;
    const auto size = fs::file_size(LastLine(out));
    fs::remove(LastLine(out));
    ASSERT_GT(size, 16u * 1024);
    // Everything fits but the last kilobytes, which the end of the file
    // writes (its index, or the last buffer at close).
    shell_setup_ = "trap '' XFSZ; ulimit -f " + std::to_string((size - 2048) / 512) + "; ";
    EXPECT_EQ(Merge(arguments, &out, &err), 1) << err;
    shell_setup_.clear();
    EXPECT_NE(LastLine(err).find("File too large"), std::string::npos) << err;
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_TRUE(FolderEntries(out_).empty()) << ::testing::PrintToString(FolderEntries(out_));
    before.ExpectUnchanged();
}

TEST_F(MergeSafetyTest, AKilledMergeLeavesNoFinishedLookingFileAndTheNextRunTidiesUp) {
    // Long enough for the final task to be caught while it writes.
    const fs::path video = MakeMergeVideo(dir_, "long.mp4", 30, "640x480");
    const fs::path song = MakeSong(dir_, "long.mp3", 20, 440);
    const fs::path song2 = MakeSong(dir_, "long2.mp3", 20, 660);
    // A file of the user's whose name the merge's own files could have.
    const fs::path users = out_ / "tempaudio-long.mp3";
    fs::copy_file(song, users);
    FileSnapshot before;
    before.AddFolder(out_);
    const auto partial_written = [&](pid_t) {
        for (const std::string& name : FolderEntries(out_)) {
            std::error_code error;
            if (name.rfind(".tavrin-partial-", 0) == 0 &&
                fs::file_size(out_ / name, error) > 20000) {
                return true;
            }
        }
        return false;
    };
    const std::vector<std::string> arguments = {
        "--format", "MKV", "--out", out_.string(), video.string(), song.string(), song2.string()};
    ASSERT_EQ(EndAfterSignal(arguments, SIGKILL, partial_written), "killed by 9");
    // Nothing under an output's name holds data: only a finished merge puts
    // it there.
    for (const std::string& name : FolderEntries(out_)) {
        if (name.rfind("merger-", 0) == 0) {
            EXPECT_EQ(fs::file_size(out_ / name), 0u) << name;
        }
    }
    // The next run removes what the killed one left, and nothing else, so
    // that its own files take the first names again.
    std::string out;
    std::string err;
    ASSERT_EQ(Merge("--format MKV " + Q(video) + " " + Q(song) + " " + Q(song2), &out, &err, out_),
              0)
        << err;
    const fs::path written = LastLine(out);
    EXPECT_EQ(written.filename().string(), "merger-long-tempaudio-long_(1)_(new).mkv");
    before.ExpectUnchanged();
    before.ExpectFolderGained(out_, {written.filename().string()});
    std::string errors;
    EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -i " + Q(written) + " -f null - 2>&1", &errors),
              0);
    EXPECT_TRUE(errors.empty()) << errors;
}

TEST_F(MergeSafetyTest, AFailedMergeRemovesTheFoldersItMade) {
    const fs::path text = dir_ / "notes.txt";
    std::ofstream(text) << "not a song\n";
    const struct {
        const char* name;
        std::string songs;
    } cases[] = {
        {"missing song", Q(dir_ / "missing.mp3")},
        {"text as a song", Q(text)},
        {"missing second song", Q(media_->Path("a.mp3")) + " " + Q(dir_ / "missing.mp3")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path made = dir_ / "new";
        std::string err;
        EXPECT_EQ(Merge(Q(media_->Path("video.mp4")) + " " + c.songs, nullptr, &err, made / "sub"),
                  1)
            << err;
        EXPECT_FALSE(fs::exists(made));
    }
    // Folders that were there before stay.
    fs::create_directories(dir_ / "kept" / "sub");
    std::ofstream(dir_ / "kept" / "mine.txt") << "mine\n";
    EXPECT_EQ(Merge(Q(media_->Path("video.mp4")) + " " + Q(dir_ / "missing.mp3"), nullptr, nullptr,
                    dir_ / "kept" / "sub" / "deeper"),
              1);
    EXPECT_EQ(FolderEntries(dir_ / "kept"), (std::vector<std::string>{"mine.txt", "sub"}));
    EXPECT_TRUE(FolderEntries(dir_ / "kept" / "sub").empty());
}

TEST_F(MergeSafetyTest, LongNamesAreShortenedToFitAndTheDryRunAgrees) {
    const std::string e_acute = "\xc3\xa9";
    std::string accented;
    for (int i = 0; i < 57; ++i) {
        accented += e_acute;  // 114 bytes of two-byte characters
    }
    const struct {
        const char* name;
        std::string video;
        std::string song;
    } cases[] = {
        {"115- and 117-byte names", std::string(111, 'v') + ".mp4", std::string(113, 's') + ".mp3"},
        {"one name of 230 bytes", "clip.mp4", std::string(226, 's') + ".mp3"},
        {"two-byte characters", "v" + accented + ".mp4", "s" + accented + "xx.mp3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path video = dir_ / c.video;
        const fs::path song = dir_ / c.song;
        fs::copy_file(media_->Path("video.mp4"), video, fs::copy_options::overwrite_existing);
        fs::copy_file(media_->Path("a.mp3"), song, fs::copy_options::overwrite_existing);
        const std::string arguments = Q(video) + " " + Q(song) + " " + Q(media_->Path("b.mp3"));
        FileSnapshot before;
        before.Add(video);
        before.Add(song);
        before.Add(media_->Path("b.mp3"));
        before.AddFolder(out_);
        const std::string planned = DryRunOutput(arguments);
        std::string out;
        std::string err;
        ASSERT_EQ(Merge(arguments, &out, &err), 0) << err;
        const fs::path written = LastLine(out);
        EXPECT_EQ(written.string(), planned);
        const std::string name = written.filename().string();
        EXPECT_LE(name.size(), 255u) << name;
        EXPECT_EQ(name.rfind("merger-" + c.video.substr(0, 4), 0), 0u) << name;
        EXPECT_NE(name.find("-tempaudio-" + c.song.substr(0, 4)), std::string::npos) << name;
        EXPECT_EQ(name.substr(name.size() - 10), "_(new).mp4") << name;
        // Cut on character boundaries: the name is valid UTF-8.
        EXPECT_EQ(
            RunCommand("printf %s " + ShellQuote(name) + " | iconv -f UTF-8 -t UTF-8 >/dev/null"),
            0)
            << name;
        EXPECT_NEAR(StreamSeconds(written, "a"), 3, 0.1);
        before.ExpectUnchanged();
        before.ExpectFolderGained(out_, {name});
        fs::remove(written);
    }
}

TEST_F(MergeSafetyTest, TheDryRunNamesTheFileTheMergeWrites) {
    const fs::path song = media_->Path("c.mp3");  // shorter than the video: used directly
    const std::string arguments = Q(media_->Path("video.mp4")) + " " + Q(song);
    const std::string first = "merger-video-c_(new).mp4";
    const struct {
        const char* name;
        std::vector<std::string> existing;
        bool dangling_link;
        const char* expected;
    } cases[] = {
        {"nothing there", {}, false, "merger-video-c_(new).mp4"},
        {"a dangling link", {}, true, "merger-video-c_(new_1).mp4"},
        {"an existing file", {first}, false, "merger-video-c_(new_1).mp4"},
        {"existing _(new) and _(new_1)",
         {first, "merger-video-c_(new_1).mp4"},
         false,
         "merger-video-c_(new_2).mp4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out_);
        fs::create_directories(out_);
        for (const auto& name : c.existing) {
            std::ofstream(out_ / name) << name;
        }
        if (c.dangling_link) {
            fs::create_symlink(dir_ / "nowhere.mp4", out_ / first);
        }
        FileSnapshot before;
        before.AddFolder(out_);
        const std::string planned = DryRunOutput(arguments);
        EXPECT_EQ(planned, (out_ / c.expected).string());
        std::string out;
        std::string err;
        ASSERT_EQ(Merge(arguments, &out, &err), 0) << err;
        EXPECT_EQ(LastLine(out), planned);
        before.ExpectUnchanged();
        before.ExpectFolderGained(out_, {c.expected});
        EXPECT_FALSE(fs::exists(dir_ / "nowhere.mp4"));
    }
}

TEST_F(MergeSafetyTest, AStopDuringADryRunEndsAsAStop) {
    const fs::path fifo = dir_ / "song.mp3";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The dry run blocks opening the song, which nothing writes; the signal
    // comes once it waits there.
    const auto blocked_on_the_fifo = [](pid_t pid) {
        return ReadWholeFile("/proc/" + std::to_string(pid) + "/wchan") == "wait_for_partner";
    };
    const std::vector<std::string> dry_run = {
        "--dry-run",  "--format", "MP4", "--out", out_.string(), media_->Path("video.mp4").string(),
        fifo.string()};
    for (const auto& [signal, expected] :
         {std::pair{SIGINT, "exit 130"}, std::pair{SIGTERM, "exit 143"}}) {
        SCOPED_TRACE(signal);
        EXPECT_EQ(EndAfterSignal(dry_run, signal, blocked_on_the_fifo), expected)
            << ReadWholeFile(dir_ / "signalled.err");
        EXPECT_NE(ReadWholeFile(dir_ / "signalled.err").find("tavrin-merge: stopped"),
                  std::string::npos)
            << ReadWholeFile(dir_ / "signalled.err");
    }
    EXPECT_TRUE(FolderEntries(out_).empty());
}

TEST_F(MergeSafetyTest, NoPrivateFolderOutlivesARun) {
    const fs::path temp = dir_ / "tmp";
    fs::create_directories(temp);
    const std::string command = "TMPDIR=" + Q(temp) + " " + Environment() + kMerge +
                                " --format MKV --out " + Q(out_) + " " +
                                Q(media_->Path("video.mp4")) + " " + Songs();
    // A stop at any moment of the start leaves nothing, and is a stop. A
    // signal before the handler is installed ends the program by itself.
    for (const int delay_ms : {0, 5, 20, 100}) {
        SCOPED_TRACE(delay_ms);
        const auto start = std::chrono::steady_clock::now();
        const std::string end = EndAfterSignal(
            {"--format", "MKV", "--out", out_.string(), media_->Path("video.mp4").string(),
             media_->Path("a.mp3").string(), media_->Path("b.mp3").string()},
            SIGINT,
            [&](pid_t) {
                return std::chrono::steady_clock::now() - start >=
                       std::chrono::milliseconds(delay_ms);
            },
            temp);
        EXPECT_TRUE(end == "exit 130" || end == "killed by 2")
            << end << "\n"
            << ReadWholeFile(dir_ / "signalled.err");
        EXPECT_TRUE(FolderEntries(temp).empty()) << ::testing::PrintToString(FolderEntries(temp));
    }
    // A killed run leaves its folder; the next run removes it once it is old
    // enough that no starting run can own it, and leaves a fresh one alone.
    // Killed once its folder is there (a loaded machine starts it slowly).
    RunCommand(command + " >/dev/null 2>&1 & pid=$!; for i in $(seq 400); do " + "[ -n \"$(ls -A " +
               Q(temp) + ")\" ] && break; sleep 0.05; done; " + "kill -KILL $pid; wait $pid");
    auto left = FolderEntries(temp);
    ASSERT_EQ(left.size(), 1u);
    RunCommand("touch -d '-1 minute' " + Q(temp / left.front()));
    fs::create_directories(temp / "tavrin-merge-fresh1");
    std::string out;
    ASSERT_EQ(
        RunCommand("TMPDIR=" + Q(temp) + " " + Environment() + kMerge + " --dry-run --format MKV " +
                   Q(media_->Path("video.mp4")) + " " + Songs() + " >/dev/null 2>&1"),
        0);
    EXPECT_EQ(FolderEntries(temp), std::vector<std::string>{"tavrin-merge-fresh1"});
}

}  // namespace
}  // namespace tavrin::testing

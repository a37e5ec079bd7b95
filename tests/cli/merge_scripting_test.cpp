// tavrin-merge as scripts use it: the format of a first run and where the
// choice came from, the JSON plan against the human one, the listings, -q and
// -v, --version of every program, and the installed bash completion.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/merge_test_support.h"
#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

const std::string kBin = ProgramPath("");

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// A 20 s video; songs of 5 s (two), 30 s, and 5 s with its cover picture as
// stream 0; one song's name carries characters JSON must escape.
class ScriptingMedia {
public:
    static ScriptingMedia& Get() {
        static ScriptingMedia media;
        return media;
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

private:
    ScriptingMedia() {
        MakeMergeVideo(dir_, "video.mp4", 20);
        MakeSong(dir_, "short.mp3", 5, 660);
        MakeSong(dir_, "say \"hi\" \\ é.mp3", 5, 440);
        MakeSong(dir_, "long.mp3", 30, 880);
        MakeSongWithCover(dir_, "cover.mka", dir_ / "short.mp3");
    }
    TempDir dir_;
};

class MergeScriptingTest : public ::testing::Test {
protected:
    void SetUp() override {
        media_ = &ScriptingMedia::Get();
        out_ = dir_.path() / "out";
        ini_ = dir_.path() / "config" / "tavrinfree" / "tavrin.ini";
    }

    // The program with a home of its own; exit status, stdout and stderr.
    int Run(const std::string& arguments, std::string* out, std::string* err) const {
        return RunWithOwnHome(dir_.path(), "tavrin-merge", arguments, out, err);
    }
    std::string Q(const std::string& name) const { return ShellQuote(media_->Path(name)); }
    std::string Out() const { return "--out " + ShellQuote(out_.string()); }
    void StoreSettings(const std::string& lines) const {
        fs::create_directories(ini_.parent_path());
        std::ofstream(ini_) << "[settings]\n" << lines;
    }

    ScriptingMedia* media_ = nullptr;
    TempDir dir_;
    fs::path out_;
    fs::path ini_;
};

TEST_F(MergeScriptingTest, AFirstRunWritesMp4AndSaysWhyWithoutWritingSettings) {
    std::string out;
    std::string err;
    ASSERT_EQ(Run(Out() + " " + Q("video.mp4") + " " + Q("short.mp3"), &out, &err), 0) << err;
    EXPECT_EQ(Lines(err).front(),
              "tavrin-merge: format MP4 (no --format and none stored, the default), frame size "
              "Auto - Original (no --size and none stored, the default)");
    const fs::path file = Lines(out).back();
    EXPECT_EQ(file.extension(), ".mp4");
    EXPECT_EQ(StreamCodec(file, "v"), "mpeg4");
    EXPECT_EQ(
        RunFfprobe("-v error -select_streams v -show_entries stream=width,height -of csv=p=0 " +
                   ShellQuote(file.string())),
        "160,120\n");
    EXPECT_FALSE(fs::exists(ini_));
}

TEST_F(MergeScriptingTest, AStoredFormatIsUsedAndTheSettingsStayAsTheyWere) {
    const struct {
        const char* name;
        std::string stored;
        std::string first_line;
        const char* suffix;
    } cases[] = {
        {"stored MKV and size", "outputformatindex=4\nframesizeindex=2\n",
         "format MKV (from the settings file " + ini_.string() +
             "), frame size 176x144 - qcif (from the settings file " + ini_.string() + ")",
         ".mkv"},
        {"stored 3GP, a size its list lacks", "outputformatindex=0\nframesizeindex=20\n",
         "format 3GP (from the settings file " + ini_.string() +
             "), frame size 128x96 - sqcif (from the settings file " + ini_.string() + ")",
         ".3gp"},
        {"a value that does not parse counts as absent", "outputformatindex=MKV\n",
         "format MP4 (no --format and none stored, the default), frame size Auto - Original "
         "(no --size and none stored, the default)",
         ".mp4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StoreSettings(c.stored);
        const std::string before = ReadWholeFile(ini_);
        std::string out;
        std::string err;
        ASSERT_EQ(Run(Out() + " " + Q("video.mp4") + " " + Q("short.mp3"), &out, &err), 0) << err;
        EXPECT_EQ(Lines(err).front(), "tavrin-merge: " + c.first_line);
        EXPECT_EQ(fs::path(Lines(out).back()).extension(), c.suffix);
        EXPECT_EQ(ReadWholeFile(ini_), before);
        fs::remove_all(out_);
    }
    std::string out;
    std::string err;
    // A stored index outside the list selects nothing, as in the window.
    StoreSettings("outputformatindex=17\n");
    EXPECT_EQ(Run(Out() + " " + Q("video.mp4") + " " + Q("short.mp3"), &out, &err), 2);
    EXPECT_NE(err.find("the stored output format 17 is not in the list; give one with --format"),
              std::string::npos)
        << err;
    // The command line wins over the stored choice.
    StoreSettings("outputformatindex=4\n");
    ASSERT_EQ(
        Run("--dry-run --json --format WebM " + Out() + " " + Q("video.mp4") + " " + Q("short.mp3"),
            &out, &err),
        0)
        << err;
    EXPECT_NE(out.find(R"("format":{"name":"WebM","source":"command line"})"), std::string::npos)
        << out;
}

// Turns the JSON plan back into the lines of the human dry run (the
// "choices" line aside), checking on the way that every duration text is the
// duration in microseconds.
constexpr char kJsonToText[] = R"PY(
import json, sys
plan = json.load(open(sys.argv[1], encoding="utf-8", errors="surrogateescape"))
def duration(entry):
    us = entry["duration_us"] or 0
    text = "%02d:%02d:%02d.%03d" % (us // 3600000000, us // 60000000 % 60, us // 1000000 % 60, us % 1000000 // 1000)
    assert text == entry["duration"], (text, entry["duration"])
    return text
v = plan["video"]
lines = ["video: %s (%s, video stream %d)" % (v["path"], duration(v), v["video_stream"])]
for a in plan["audio"]:
    lines.append("audio: %s (%s, audio stream %d)" % (a["path"], duration(a), a["audio_stream"]))
join = plan["join"]
lines.append("join: " + ("yes" if join["runs"] else "no"))
lines.append("join reason: " + join["reason"])
if join["runs"]:
    lines.append("join options: " + join["options"])
    lines.append("join flag: " + ("set" if join["join_flag"] else "not set"))
    lines.append("temporary file: " + join["temporary_file"])
else:
    assert join["options"] is None and join["temporary_file"] is None and not join["join_flag"]
lines.append("audio input: " + plan["audio_input"])
lines.append("final options: " + plan["final_options"])
lines.append("output file: " + plan["output_file"])
sys.stdout.buffer.write(("\n".join(lines) + "\n").encode("utf-8", "surrogateescape"))
)PY";

TEST_F(MergeScriptingTest, TheJsonPlanHoldsWhatTheHumanDryRunSays) {
    const fs::path script = dir_.path() / "json_to_text.py";
    std::ofstream(script) << kJsonToText;
    const struct {
        const char* name;
        std::string audio;
        const char* join;
        const char* join_flag;
        const char* final_map;
    } cases[] = {
        {"no join: one song shorter than the video", Q("short.mp3"), "no", nullptr,
         "-map 0:0 -map 1:0"},
        {"one song longer than the video: cut", Q("long.mp3"), "yes", "not set",
         "-map 0:0 -map 1:0"},
        {"several songs, shorter together: joined, not cut",
         Q("short.mp3") + " " + Q("say \"hi\" \\ é.mp3"), "yes", "set", "-map 0:0 -map 1:0"},
        {"several songs, longer together: joined and cut", Q("short.mp3") + " " + Q("long.mp3"),
         "yes", "set", "-map 0:0 -map 1:0"},
        {"cover picture first, used directly", Q("cover.mka"), "no", nullptr, "-map 0:0 -map 1:1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string arguments =
            "--dry-run --format MKV " + Out() + " " + Q("video.mp4") + " " + c.audio;
        std::string text;
        std::string json;
        std::string err;
        ASSERT_EQ(Run(arguments, &text, &err), 0) << err;
        ASSERT_EQ(Run("--json " + arguments, &json, &err), 0) << err;
        const fs::path json_file = dir_.path() / "plan.json";
        std::ofstream(json_file) << json;
        std::string from_json;
        ASSERT_EQ(RunCommand("python3 " + ShellQuote(script.string()) + " " +
                                 ShellQuote(json_file.string()),
                             &from_json),
                  0)
            << json;
        auto lines = Lines(text);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front().rfind("choices: format MKV (from --format)", 0), 0u);
        lines.erase(lines.begin());
        EXPECT_EQ(Lines(from_json), lines) << json;
        EXPECT_EQ(Lines(json).size(), 1u) << "one object on one line";
        EXPECT_NE(text.find(std::string("\njoin: ") + c.join + "\n"), std::string::npos) << text;
        if (c.join_flag != nullptr) {
            EXPECT_NE(text.find(std::string("\njoin flag: ") + c.join_flag + "\n"),
                      std::string::npos)
                << text;
        }
        EXPECT_NE(text.find(c.final_map), std::string::npos) << text;
        EXPECT_FALSE(fs::exists(out_));
    }
}

TEST_F(MergeScriptingTest, ListsFormatsAndSizes) {
    std::string out;
    std::string err;
    ASSERT_EQ(Run("--list-formats", &out, &err), 0) << err;
    const auto lines = Lines(out);
    ASSERT_GE(lines.size(), 17u) << out;
    EXPECT_EQ(lines[0], "format    container  video       audio");
    EXPECT_EQ(lines[7], "MP4       mp4        mpeg4       aac") << out;
    EXPECT_EQ(lines[14], "WebM      webm       libvpx      libvorbis") << out;

    ASSERT_EQ(Run("--list-sizes 3gp", &out, &err), 0) << err;
    EXPECT_EQ(Lines(out), (std::vector<std::string>{"128x96 - sqcif", "176x144 - qcif",
                                                    "352x288 - cif", "704x576 - 4cif"}));
    ASSERT_EQ(Run("--list-sizes MKV", &out, &err), 0) << err;
    EXPECT_EQ(Lines(out).size(), 29u);
    EXPECT_EQ(Lines(out).back(), "1920x1080 - hd1080");
    EXPECT_EQ(Run("--list-sizes DivX", &out, &err), 2);
    EXPECT_NE(err.find("unknown format \"DivX\""), std::string::npos) << err;
}

TEST_F(MergeScriptingTest, QuietShowsOnlyErrorsAndVerboseShowsTheLibrariesLog) {
    std::string out;
    std::string err;
    ASSERT_EQ(Run("-q " + Out() + " " + Q("video.mp4") + " " + Q("short.mp3"), &out, &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(Lines(out).size(), 1u) << out;

    EXPECT_EQ(Run("-q " + Out() + " " + Q("video.mp4") + " " + Q("cover.mka.png"), &out, &err), 1);
    EXPECT_NE(err.find("tavrin-merge: the merge failed: "), std::string::npos) << err;
    EXPECT_NE(err.find("cover.mka.png"), std::string::npos) << err;

    std::string normal;
    fs::remove_all(out_);
    ASSERT_EQ(Run(Out() + " " + Q("video.mp4") + " " + Q("short.mp3"), &out, &normal), 0);
    EXPECT_EQ(normal.find("Verbose: "), std::string::npos) << normal;
    fs::remove_all(out_);
    std::string verbose;
    ASSERT_EQ(Run("-v " + Out() + " " + Q("video.mp4") + " " + Q("short.mp3"), &out, &verbose), 0);
    EXPECT_NE(verbose.find("Verbose: "), std::string::npos) << verbose;
    EXPECT_NE(verbose.find("mergeing finished"), std::string::npos) << verbose;

    EXPECT_EQ(Run("-q -v " + Q("video.mp4") + " " + Q("short.mp3"), &out, &err), 2);
    EXPECT_NE(err.find("-q and -v exclude each other"), std::string::npos) << err;
    EXPECT_EQ(Run("--json " + Q("video.mp4") + " " + Q("short.mp3"), &out, &err), 2);
    EXPECT_NE(err.find("--json only goes with --dry-run"), std::string::npos) << err;
}

TEST(ProgramVersionTest, EveryProgramPrintsTheProjectVersion) {
    const std::string version = std::to_string(TAVRIN_VERSION_MAJOR + 0) + "." +
                                std::to_string(TAVRIN_VERSION_MINOR + 0) + "." +
                                std::to_string(TAVRIN_VERSION_PATCH + 0) + "." +
                                std::to_string(TAVRIN_VERSION_TWEAK + 0);
    for (const char* program : {"tavrin-merge", "tavrin-transcode", "tavrin-probe"}) {
        SCOPED_TRACE(program);
        std::string out;
        EXPECT_EQ(RunCommand(kBin + program + " --version", &out), 0);
        EXPECT_EQ(out, std::string(program) + " " + version + "\n");
        std::string help;
        EXPECT_EQ(RunCommand(kBin + program + " --help", &help), 0);
        EXPECT_NE(help.find("--version"), std::string::npos) << help;
    }
}

// The programs and the completion installed into a prefix, and a bash of its
// own that completes command lines with the installed script.
TEST(BashCompletionTest, TheInstalledScriptCompletesFromTheProgram) {
    if (RunCommand("command -v cmake >/dev/null && command -v bash >/dev/null") != 0) {
        GTEST_SKIP() << "cmake or bash is missing";
    }
    TempDir prefix;
    std::string log;
    ASSERT_EQ(RunCommand("cmake --install " + ShellQuote(kBinaryDir) + " --prefix " +
                             ShellQuote(prefix.path().string()) + " 2>&1",
                         &log),
              0)
        << log;
    const fs::path completions = prefix.path() / "share" / "bash-completion" / "completions";
    for (const char* program : {"tavrin-merge", "tavrin-transcode", "tavrin-probe"}) {
        EXPECT_TRUE(fs::exists(completions / program)) << program;
        EXPECT_TRUE(fs::exists(prefix.path() / "bin" / program)) << program;
    }
    const struct {
        const char* program;
        const char* function;
        const char* line;  // the words before the one completed, and its start
        const char* expected;
    } cases[] = {
        {"tavrin-merge", "_tavrin_merge", "--format ''",
         "3GP AVI FLV iPod MKV MOV MP4 OGG PSP RM10 RM20 SWF WMV WebM M1V M2V Original"},
        {"tavrin-merge", "_tavrin_merge", "--format O", "OGG Original"},
        {"tavrin-merge", "_tavrin_merge", "--format Original --size ''", ""},
        {"tavrin-merge", "_tavrin_merge", "--fade-out 1", "1 10"},
        {"tavrin-merge", "_tavrin_merge", "--video-sound 5", "50"},
        {"tavrin-merge", "_tavrin_merge", "--re", "--repeat"},
        {"tavrin-merge", "_tavrin_merge", "--format W", "WMV WebM"},
        {"tavrin-merge", "_tavrin_merge", "--list-sizes M", "MKV MOV MP4 M1V M2V"},
        {"tavrin-merge", "_tavrin_merge", "--format 3GP --size ''",
         "128x96 sqcif 176x144 qcif 352x288 cif 704x576 4cif"},
        {"tavrin-merge", "_tavrin_merge", "--size hd", "hd480 hd720 hd1080"},
        // "--format=3GP --size=q" as bash splits it.
        {"tavrin-merge", "_tavrin_merge", "--format = 3GP --size = q", "qcif"},
        {"tavrin-merge", "_tavrin_merge", "--li", "--list-formats --list-sizes"},
        {"tavrin-transcode", "_tavrin_transcode", "-loglevel w", "warning"},
        {"tavrin-probe", "_tavrin_probe", "--ver", "--version --versions"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.line);
        const std::string program = (prefix.path() / "bin" / c.program).string();
        // The function bash would call is the one the script registered.
        const std::string script = "source " + ShellQuote((completions / c.program).string()) +
                                   "; COMP_WORDS=(" + ShellQuote(program) + " " + c.line +
                                   "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); " +
                                   "[[ $(complete -p " + c.program + ") == *\"-F " + c.function +
                                   " \"* ]] && " + c.function + " && echo \"${COMPREPLY[*]}\"";
        std::string out;
        EXPECT_EQ(RunCommand("bash --norc --noprofile -c " + ShellQuote(script), &out), 0);
        EXPECT_EQ(out, std::string(c.expected) + "\n");
    }
}

}  // namespace
}  // namespace tavrin::testing

#include "media/options/option_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "media/common/error_text.h"
#include "options/task_test_support.h"

namespace tavrin {
namespace {

using testing::Occurrences;
using testing::OptionTaskTest;
using Strings = std::vector<std::string>;

class OptionTableTest : public OptionTaskTest {};

TEST_F(OptionTableTest, EveryRowIsReachedByItsOwnName) {
    const std::vector<OptionEntry>& table = task_.OptionTable();
    ASSERT_EQ(table.size(), static_cast<std::size_t>(kOptionTableRows) + 1);
    EXPECT_TRUE(table.back().IsEnd());
    EXPECT_LE(table.size(), kOptionTableCapacity);
    EXPECT_EQ(table.front().name, "L");
    EXPECT_EQ(table[kOptionTableRows - 1].name, "Join");

    // Names are unique, so looking a name up from the top finds its own row:
    // no row is shadowed by an earlier one.
    std::set<std::string> names;
    for (const OptionEntry& row : table) {
        if (row.IsEnd()) {
            continue;
        }
        EXPECT_TRUE(names.insert(row.name).second) << row.name;
        EXPECT_EQ(FindOption(table.data(), row.name), &row) << row.name;
        // A row knows where its value goes.
        const bool has_target = row.handler || row.global != nullptr || row.field != nullptr;
        EXPECT_TRUE(has_target) << row.name;
        if (row.Has(OptionEntry::Offset) || row.Has(OptionEntry::Spec)) {
            EXPECT_NE(row.field, nullptr) << row.name;
        }
    }

    // Building again changes nothing.
    const OptionEntry* first = table.data();
    BuildOptionTable(task_);
    EXPECT_EQ(task_.OptionTable().data(), first);
    EXPECT_EQ(task_.OptionTable().size(), static_cast<std::size_t>(kOptionTableRows) + 1);
}

struct HandlerCase {
    const char* options;
    bool strict;
    int result;
    TLogLevel level;         // of the expected log line
    const char* logged;      // part of the expected log line
    const char* last_error;  // part of LastError, "" = must stay empty
    int fatal;               // 1: the code's message is logged at fatal level, 0: not, -1: either
};

TEST_F(OptionTableTest, SimpleHandlerKindsLogAndAnswerAsTheirKindSays) {
    const std::string removed =
        "Option \"sameq\" was removed. If you are looking for an option to preserve the quality "
        "(which is not what -sameq was for), use -qscale 0 or an equivalent quality factor "
        "option.";
    const HandlerCase cases[] = {
        {"-version", true, 0, llWarning, "options \"version\" not supported, ignore", "", 0},
        {"-h -formats -L", true, 0, llWarning, "options \"L\" not supported, ignore", "", 0},
        {"-report", true, AVERROR(EINVAL), llError, "options \"report\" not supported",
         "options \"report\" not supported\nFailed to set value \"1\" for option \"report\"", 1},
        {"-report", false, 0, llError, "options \"report\" not supported", "", 1},
        {"-sameq", true, AVERROR(EINVAL), llWarning, removed.c_str(), removed.c_str(), 1},
        {"-AudioInputHook -VideoOutputHook -FrameInputHook -Join", true, 0, llInfo,
         "ParseOptions for output file", "", 0},
        {"-streamid 3", true, AVERROR(EINVAL), llError, "required syntax is \"index:value\"",
         "Invalid value \"3\" for option \"streamid\"", 1},
        {"-TimeStart 1.5", true, 0, llInfo, "ParseOptions for output file", "", 0},
        {"-vhook module.so", true, AVERROR(ENOSYS), llError, "Option vhook is not supported yet",
         "Option vhook is not supported yet", 1},
        {"-vc 1", false, 0, llWarning, "This option is deprecated, use -channel.", "", -1},
        {"-tvstd pal", false, 0, llWarning, "This option is deprecated, use -standard.", "", -1},
    };
    for (const HandlerCase& c : cases) {
        SCOPED_TRACE(c.options);
        NextFile();
        log_.Clear();
        task_.LastError.clear();
        task_.StrictOptions = c.strict;
        EXPECT_EQ(Parse(c.options), c.result);
        EXPECT_TRUE(log_.Has(c.level, c.logged));
        if (*c.last_error == '\0') {
            EXPECT_EQ(task_.LastError, "");
        } else {
            EXPECT_NE(task_.LastError.find(c.last_error), std::string::npos) << task_.LastError;
            // The code's own message ends the text.
            const std::string message = ErrorText(c.result);
            EXPECT_EQ(task_.LastError.substr(task_.LastError.size() - message.size()), message);
        }
        // A failure's fatal line is written in strict and non-strict tasks.
        if (c.fatal >= 0) {
            EXPECT_EQ(log_.Has(llFatal, ErrorText(c.result < 0 ? c.result : AVERROR(EINVAL))),
                      c.fatal == 1);
        }
    }
    // Accepted names parse without a warning or an error.
    NextFile();
    log_.Clear();
    EXPECT_EQ(Parse("-AudioOutputHook -VideoInputHook -FrameOutputHook"), 0);
    EXPECT_EQ(log_.Count(llWarning, "") + log_.Count(llError, ""), 0);
}

TEST_F(OptionTableTest, ForwardingAndRewrittenRowsLandInTheSameLists) {
    ASSERT_EQ(Parse("-vcodec libx264 -acodec aac -scodec mov_text -dcodec copy "
                    "-vframes 10 -aframes 5 -dframes 1 -vf scale=32:32 -af volume=2 -aq 3 "
                    "-absf aac_adtstoasc -vbsf h264_mp4toannexb -atag mp4a -stag tx3g"),
              0)
        << task_.LastError;
    EXPECT_EQ(Occurrences(ctx_.codec_names),
              (Strings{"v=libx264", "a=aac", "s=mov_text", "d=copy"}));
    ASSERT_EQ(ctx_.max_frames.size(), 3u);
    EXPECT_EQ(ctx_.max_frames[0].specifier, "v");
    EXPECT_EQ(ctx_.max_frames[0].i64, 10);
    EXPECT_EQ(ctx_.max_frames[2].specifier, "d");
    EXPECT_EQ(ctx_.max_frames[2].i64, 1);
    EXPECT_EQ(Occurrences(ctx_.filters), (Strings{"v=scale=32:32", "a=volume=2"}));
    ASSERT_EQ(ctx_.qscale.size(), 1u);
    EXPECT_EQ(ctx_.qscale[0].specifier, "a");
    EXPECT_DOUBLE_EQ(ctx_.qscale[0].dbl, 3.0);
    EXPECT_EQ(Occurrences(ctx_.bitstream_filters),
              (Strings{"a=aac_adtstoasc", "v=h264_mp4toannexb"}));
    EXPECT_EQ(Occurrences(ctx_.codec_tags), (Strings{"a=mp4a", "s=tx3g"}));

    // -vtag DIVX has exactly the effect of -tag:v DIVX.
    NextFile();
    ASSERT_EQ(Parse("-vtag DIVX"), 0);
    const Strings old_form = Occurrences(ctx_.codec_tags);
    NextFile();
    ASSERT_EQ(Parse("-tag:v DIVX"), 0);
    EXPECT_EQ(Occurrences(ctx_.codec_tags), old_form);
    EXPECT_EQ(old_form, (Strings{"v=DIVX"}));
}

TEST_F(OptionTableTest, AmbiguousOptionsMeanVideoWithAWarning) {
    ASSERT_EQ(Parse("-b 128k -profile main -qscale 3"), 0) << task_.LastError;
    EXPECT_TRUE(log_.Has(llWarning, "Please use -b:a or -b:v, -b is ambiguous"));
    EXPECT_TRUE(log_.Has(llWarning, "Please use -profile:a or -profile:v, -profile is ambiguous"));
    EXPECT_TRUE(log_.Has(llWarning, "Please use -q:a or -q:v, -qscale is ambiguous"));
    EXPECT_EQ(CodecOption("b:v"), "128k");
    EXPECT_EQ(CodecOption("profile:v"), "main");
    ASSERT_EQ(ctx_.qscale.size(), 1u);
    EXPECT_EQ(ctx_.qscale[0].specifier, "v");
    EXPECT_DOUBLE_EQ(ctx_.qscale[0].dbl, 3.0);

    NextFile();
    log_.Clear();
    ASSERT_EQ(Parse("-b:a 128k -profile:a aac_low -qscale:a 2"), 0) << task_.LastError;
    EXPECT_EQ(log_.Count(llWarning, "ambiguous"), 0);
    EXPECT_EQ(CodecOption("b:a"), "128k");
    EXPECT_EQ(CodecOption("b:v"), "<none>");
    EXPECT_EQ(CodecOption("profile:a"), "aac_low");
    ASSERT_EQ(ctx_.qscale.size(), 1u);
    EXPECT_EQ(ctx_.qscale[0].specifier, "a");
    EXPECT_DOUBLE_EQ(ctx_.qscale[0].dbl, 2.0);
}

TEST_F(OptionTableTest, TypedRowsWriteTheTaskAndTheContext) {
    ASSERT_EQ(Parse("-y -async 2 -adrift_threshold 0.5 -copytb 1 -dc 10 -vol 512 -stats "
                    "-debug_ts -isync -f matroska -map_chapters 1 -fs 1000000 -muxdelay 0.2 "
                    "-re -an -vn -sn -dn -itsscale:a 1.5 -to 7 -itsoffset 2"),
              0)
        << task_.LastError;
    EXPECT_EQ(task_.overwrite_output, 1);
    EXPECT_EQ(task_.audio_sync_method, 2);
    EXPECT_FLOAT_EQ(task_.audio_drift_threshold, 0.5f);
    EXPECT_EQ(task_.copy_time_base, 1);
    EXPECT_EQ(task_.intra_dc_precision, 10);
    EXPECT_EQ(task_.volume, 512);
    EXPECT_EQ(task_.show_stats, 1);
    EXPECT_EQ(task_.debug_timestamps, 1);
    EXPECT_EQ(task_.isync, 1);
    EXPECT_EQ(ctx_.format, "matroska");
    EXPECT_EQ(ctx_.chapters_source, 1);
    EXPECT_EQ(ctx_.size_limit, 1000000);
    EXPECT_FLOAT_EQ(ctx_.mux_delay, 0.2f);
    EXPECT_EQ(ctx_.native_rate, 1);
    EXPECT_EQ(ctx_.audio_disable + ctx_.video_disable + ctx_.subtitle_disable + ctx_.data_disable,
              4);
    ASSERT_EQ(ctx_.ts_scale.size(), 1u);
    EXPECT_DOUBLE_EQ(ctx_.ts_scale[0].dbl, 1.5);
    EXPECT_EQ(ctx_.stop_time, 7'000'000);
    EXPECT_EQ(ctx_.input_ts_offset, 2'000'000);
}

TEST_F(OptionTableTest, LogLevelAppliesBeforeTheRestOfTheText) {
    // The error of -report comes after -loglevel in the text's effect order:
    // quiet mutes it although it is written first.
    task_.StrictOptions = false;
    EXPECT_EQ(Parse("-report -loglevel quiet"), 0);
    EXPECT_EQ(log_.Logger().LogLevel(), llQuiet);
    EXPECT_FALSE(log_.Has(llError, "options \"report\" not supported"));

    NextFile();
    EXPECT_EQ(Parse("-v info"), 0);
    EXPECT_EQ(log_.Logger().LogLevel(), llInfo);
    NextFile();
    EXPECT_EQ(Parse("-loglevel 48"), 0);
    EXPECT_EQ(log_.Logger().LogLevel(), llDebug);

    NextFile();
    task_.StrictOptions = true;
    EXPECT_EQ(Parse("-loglevel 32k"), AVERROR(EINVAL));
    EXPECT_NE(task_.LastError.find("Invalid loglevel \"32k\""), std::string::npos)
        << task_.LastError;
}

}  // namespace
}  // namespace tavrin

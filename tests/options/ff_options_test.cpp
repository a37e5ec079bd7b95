#include "media/options/ff_options.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fixtures/ff_libs_fixture.h"
#include "media/options/transcode_context.h"
#include "media/options/value_parsers.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/logger.h"

namespace tavrin {
namespace {

using E = OptionEntry;

// A small table in the shape of the real one: context fields, per-stream
// lists, task-level values and handlers.
class OptionsTest : public testing::FFLibsTest {
protected:
    void SetUp() override {
        FFLibsTest::SetUp();
        table_ = {
            {"f",
             E::HasArg | E::String | E::Offset,
             {},
             nullptr,
             ContextFieldOf<&OptionsContext::format>,
             "force format",
             "fmt"},
            {"c",
             E::HasArg | E::String | E::Spec,
             {},
             nullptr,
             ContextFieldOf<&OptionsContext::codec_names>,
             "codec name",
             "codec"},
            {"codec",
             E::HasArg | E::String | E::Spec,
             {},
             nullptr,
             ContextFieldOf<&OptionsContext::codec_names>,
             "codec name",
             "codec"},
            {"t",
             E::HasArg | E::Offset | E::Time,
             {},
             nullptr,
             ContextFieldOf<&OptionsContext::recording_time>,
             "duration",
             "duration"},
            {"ss",
             E::HasArg | E::Offset | E::Time,
             {},
             nullptr,
             ContextFieldOf<&OptionsContext::start_time>,
             "start",
             "time_off"},
            {"fs",
             E::HasArg | E::Int64 | E::Offset,
             {},
             nullptr,
             ContextFieldOf<&OptionsContext::size_limit>,
             "size limit",
             "limit_size"},
            {"re",
             E::Bool | E::Expert | E::Offset,
             {},
             nullptr,
             ContextFieldOf<&OptionsContext::native_rate>,
             "native rate",
             ""},
            {"ar",
             E::HasArg | E::Audio | E::Int | E::Spec,
             {},
             nullptr,
             ContextFieldOf<&OptionsContext::audio_sample_rate>,
             "sample rate",
             "rate"},
            {"itsscale",
             E::HasArg | E::Spec | E::Double,
             {},
             nullptr,
             ContextFieldOf<&OptionsContext::ts_scale>,
             "ts scale",
             "scale"},
            {"muxdelay",
             E::HasArg | E::Float | E::Offset,
             {},
             nullptr,
             ContextFieldOf<&OptionsContext::mux_delay>,
             "mux delay",
             "seconds"},
            {"copyinkf",
             E::Bool | E::Expert | E::Spec,
             {},
             nullptr,
             ContextFieldOf<&OptionsContext::copy_initial_nonkeyframes>,
             "copy initial",
             ""},
            {"y", E::Bool, {}, &overwrite_, nullptr, "overwrite output files", ""},
            {"vol", E::HasArg | E::Audio | E::Int, {}, &volume_, nullptr, "volume", "volume"},
            {"adrift_threshold", E::HasArg | E::Float, {}, &drift_, nullptr, "drift", "threshold"},
            {"loglevel", E::HasArg,
             [](OptionsContext*, const std::string& name, const std::string& value) {
                 return OptLogLevel(name, value);
             },
             nullptr, nullptr, "set libav* logging level", "loglevel"},
            {"v", E::HasArg,
             [](OptionsContext*, const std::string& name, const std::string& value) {
                 return OptLogLevel(name, value);
             },
             nullptr, nullptr, "set libav* logging level", "loglevel"},
            {"map", E::HasArg | E::PerFile,
             [this](OptionsContext* ctx, const std::string&, const std::string& value) {
                 map_calls_.push_back({ctx, value});
                 return 0;
             },
             nullptr, nullptr, "map", "spec"},
            {"report", 0,
             [](OptionsContext*, const std::string& name, const std::string&) {
                 SetPendingErrorText("options \"" + name + "\" not supported");
                 return AVERROR(EINVAL);
             },
             nullptr, nullptr, "generate a report", ""},
            {},
        };
        options_.ResetGroups();
        ctx_.group = &options_.current_group;
        ClearPendingErrorText();
        saved_level_ = GlobalLogger().LogLevel();
    }
    void TearDown() override {
        options_.FreeGroups();
        GlobalLogger().SetLogLevel(saved_level_);
    }

    int Split(const std::vector<std::string>& tokens, bool strict = true) {
        return options_.SplitOptions(&ctx_, strict, "input file", table_.data(), tokens);
    }
    // Split, then apply the global group and the file's group, as a file's
    // options text is applied.
    int SplitAndApply(const std::vector<std::string>& tokens, bool strict = true) {
        int result = Split(tokens, strict);
        if (result >= 0) {
            result = ApplyOptionGroup(nullptr, options_.global_group, "global");
        }
        if (result >= 0) {
            result = ApplyOptionGroup(&ctx_, options_.current_group, "input file");
        }
        return result;
    }

    std::vector<OptionEntry> table_;
    TFFOptions options_;
    OptionsContext ctx_;
    std::int32_t overwrite_ = 0;
    std::int32_t volume_ = 256;
    float drift_ = 0.1f;
    struct MapCall {
        OptionsContext* ctx;
        std::string value;
    };
    std::vector<MapCall> map_calls_;
    TLogLevel saved_level_ = llInfo;
};

TEST_F(OptionsTest, FindOptionComparesTheNameUpToItsFirstColon) {
    EXPECT_EQ(FindOption(table_.data(), "codec:v")->name, "codec");
    EXPECT_EQ(FindOption(table_.data(), "c:a:0")->name, "c");
    EXPECT_EQ(FindOption(table_.data(), "c:")->name, "c");
    EXPECT_TRUE(FindOption(table_.data(), "co")->IsEnd());      // a prefix is no match
    EXPECT_TRUE(FindOption(table_.data(), "codecs")->IsEnd());  // nor a longer name
    EXPECT_TRUE(FindOption(table_.data(), ":v")->IsEnd());
}

TEST_F(OptionsTest, FileOptionsLandInTheContextAndGlobalOnesInTheTask) {
    ASSERT_EQ(SplitAndApply({"-ss",
                             "10",
                             "-t",
                             "5",
                             "-c:a",
                             "copy",
                             "-c:v",
                             "libx264",
                             "-y",
                             "-re",
                             "-codec:",
                             "aac",
                             "-f",
                             "mp4",
                             "-fs",
                             "1000000",
                             "-ar:a",
                             "44100",
                             "-itsscale",
                             "1.5",
                             "-vol",
                             "512",
                             "-adrift_threshold",
                             "0.25",
                             "-muxdelay",
                             "0.5",
                             "-map",
                             "0:1"}),
              0);
    EXPECT_EQ(ctx_.start_time, 10'000'000);
    EXPECT_EQ(ctx_.recording_time, 5'000'000);
    ASSERT_EQ(ctx_.codec_names.size(), 3u);
    EXPECT_EQ(ctx_.codec_names[0].specifier, "a");
    EXPECT_EQ(ctx_.codec_names[0].str, "copy");
    EXPECT_EQ(ctx_.codec_names[1].specifier, "v");
    EXPECT_EQ(ctx_.codec_names[1].str, "libx264");
    EXPECT_EQ(ctx_.codec_names[2].specifier, "");  // a trailing ":" stores an empty specifier
    EXPECT_EQ(ctx_.codec_names[2].str, "aac");
    EXPECT_EQ(ctx_.format, "mp4");
    EXPECT_EQ(ctx_.size_limit, 1'000'000);
    EXPECT_EQ(ctx_.native_rate, 1);
    ASSERT_EQ(ctx_.audio_sample_rate.size(), 1u);
    EXPECT_EQ(ctx_.audio_sample_rate[0].i, 44100);
    ASSERT_EQ(ctx_.ts_scale.size(), 1u);
    EXPECT_DOUBLE_EQ(ctx_.ts_scale[0].dbl, 1.5);
    EXPECT_FLOAT_EQ(ctx_.mux_delay, 0.5f);
    EXPECT_EQ(overwrite_, 1);
    EXPECT_EQ(volume_, 512);
    EXPECT_FLOAT_EQ(drift_, 0.25f);
    ASSERT_EQ(map_calls_.size(), 1u);
    EXPECT_EQ(map_calls_[0].ctx, &ctx_);  // per-file handlers get the file's context
    EXPECT_EQ(map_calls_[0].value, "0:1");
    // Global rows went to the global group, the rest to the file's group.
    ASSERT_EQ(options_.global_group.options.size(), 3u);
    EXPECT_EQ(options_.global_group.options[0].key, "y");
    EXPECT_EQ(options_.global_group.options[0].value, "1");
}

TEST_F(OptionsTest, NoFormsClearBoolRowsOnlyAndTakeNoArgument) {
    overwrite_ = 1;
    ctx_.native_rate = 1;
    ASSERT_EQ(SplitAndApply({"-noy", "-nore", "-copyinkf:a", "-nocopyinkf:v", "-f", "avi"}), 0);
    EXPECT_EQ(overwrite_, 0);
    EXPECT_EQ(ctx_.native_rate, 0);
    ASSERT_EQ(ctx_.copy_initial_nonkeyframes.size(), 2u);
    EXPECT_EQ(ctx_.copy_initial_nonkeyframes[0].specifier, "a");
    EXPECT_EQ(ctx_.copy_initial_nonkeyframes[0].i, 1);
    EXPECT_EQ(ctx_.copy_initial_nonkeyframes[1].specifier, "v");  // the "no" form keeps it
    EXPECT_EQ(ctx_.copy_initial_nonkeyframes[1].i, 0);
    EXPECT_EQ(ctx_.format, "avi");  // "-f" after the no forms was still read as an option

    // "no" before a row that is not Bool is no option at all.
    EXPECT_EQ(Split({"-nof", "avi"}), AVERROR_OPTION_NOT_FOUND);
    EXPECT_EQ(PendingErrorText(), "Unrecognized option \"nof\"");
}

struct ParseOptionCase {
    const char* name;
    std::optional<std::string> value;
    int result;
    const char* pending;  // expected pending error text, null: none
};

TEST_F(OptionsTest, ParseOptionResultsAndMessages) {
    const ParseOptionCase cases[] = {
        {"f", "mp4", 1, nullptr},
        {"y", std::nullopt, 0, nullptr},
        {"y", "0", 0, nullptr},  // a Bool row always means 1 when named
        {"noy", std::nullopt, 0, nullptr},
        {"nof", "mp4", AVERROR(EINVAL), "Unrecognized option \"nof\""},
        {"bogus", "x", AVERROR(EINVAL), "Unrecognized option \"bogus\""},
        {"f", std::nullopt, AVERROR(EINVAL), "Missing argument for option \"f\""},
        {"report", std::nullopt, AVERROR(EINVAL),
         "options \"report\" not supported\nFailed to set value \"\" for option \"report\""},
    };
    for (const ParseOptionCase& c : cases) {
        SCOPED_TRACE(c.name);
        ClearPendingErrorText();
        EXPECT_EQ(ParseOption(&ctx_, c.name, c.value, table_.data()), c.result);
        EXPECT_EQ(PendingErrorText(), c.pending != nullptr ? c.pending : "");
    }
    EXPECT_EQ(ctx_.format, "mp4");
    EXPECT_EQ(overwrite_, 0);  // "noy" came last
}

TEST_F(OptionsTest, HandlerFailureWithoutOwnTextNamesValueAndOption) {
    OptionEntry failing;
    failing.name = "x";
    failing.flags = E::HasArg;
    failing.handler = [](OptionsContext*, const std::string&, const std::string&) { return -5; };
    EXPECT_EQ(WriteOption(nullptr, &failing, "x:v", "7"), -5);
    EXPECT_EQ(PendingErrorText(), "Failed to set value \"7\" for option \"x:v\"");
}

TEST_F(OptionsTest, ValueErrorsAreRaisedAndLeaveTheDestinationAlone) {
    ASSERT_EQ(Split({"-vol", "12k", "-ar", "99999999999", "-t", "forever"}), 0);
    const auto& parsed = options_.global_group.options;
    ASSERT_EQ(parsed.size(), 1u);
    try {
        ApplyOptionGroup(nullptr, options_.global_group, "global");
        FAIL() << "no error raised";
    } catch (const FFmpegException& error) {
        EXPECT_STREQ(error.what(), "Expected integer for \"vol\" but found \"12k\"");
    }
    EXPECT_EQ(volume_, 256);
    EXPECT_THROW(WriteOption(&ctx_, &table_[7], "ar", "99999999999"), FFmpegException);
    EXPECT_TRUE(ctx_.audio_sample_rate.empty());  // no half-written occurrence
    EXPECT_THROW(WriteOption(&ctx_, &table_[3], "t", "forever"), FFmpegException);
    EXPECT_EQ(ctx_.recording_time, INT64_MAX);
}

TEST_F(OptionsTest, PerFileRowWithoutAContextIsRefused) {
    EXPECT_THROW(WriteOption(nullptr, &table_[0], "f", "mp4"), FFmpegException);
}

struct SplitCase {
    std::vector<std::string> tokens;
    bool strict;
    int result;
    const char* pending;
};

TEST_F(OptionsTest, SplitOptionsOnStrayAndUnknownTokens) {
    const SplitCase cases[] = {
        // Non-strict: the stray token and the last unknown option are skipped.
        {{"stray", "-bogus"}, false, 0, ""},
        {{"-", "", "-y"}, false, 0, ""},
        {{"stray"}, true, AVERROR(EINVAL), "Failed to parse options on stray"},
        {{"-"}, true, AVERROR(EINVAL), "Failed to parse options on -"},
        {{""}, true, AVERROR(EINVAL), "Failed to parse options"},
        {{"-bogus"}, true, AVERROR_OPTION_NOT_FOUND, "Unrecognized option \"bogus\""},
        // With a following token an unknown name is offered to the libraries.
        {{"-bogus", "1"}, true, AVERROR_OPTION_NOT_FOUND, "Unrecognized option \"bogus\""},
        {{"-f"}, true, AVERROR(EINVAL), "Missing argument for option \"f\""},
        {{"-sws_flags", "no_such_flag"},
         false,
         AVERROR(EINVAL) /* any negative */,
         "Error setting option \"sws_flags\""},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.tokens));
        options_.ResetGroups();
        ClearPendingErrorText();
        const int result = Split(c.tokens, c.strict);
        if (std::string(c.pending).rfind("Error setting", 0) == 0) {
            EXPECT_LT(result, 0);
            EXPECT_NE(result, AVERROR_OPTION_NOT_FOUND);
        } else {
            EXPECT_EQ(result, c.result);
        }
        EXPECT_EQ(PendingErrorText(), c.pending);
    }
}

TEST_F(OptionsTest, NonStrictSplitKeepsTheGoodOptions) {
    ASSERT_EQ(SplitAndApply({"junk", "-f", "mp4", "-bogus", "-y"}, false), 0);
    EXPECT_EQ(ctx_.format, "mp4");
    // "-bogus" took "-y" as its library argument attempt, failed and was
    // skipped alone, so "-y" was still read.
    EXPECT_EQ(overwrite_, 1);
}

TEST_F(OptionsTest, OptDefaultRoutesOptionsToTheirLibraries) {
    EXPECT_EQ(options_.OptDefault("crf", "20"), 0);
    EXPECT_EQ(options_.OptDefault("b:v", "1M"), 0);
    EXPECT_EQ(options_.OptDefault("ab", "128k"), 0);  // "a" + a codec option
    EXPECT_EQ(options_.OptDefault("probesize", "5000000"), 0);
    EXPECT_EQ(options_.OptDefault("sws_flags", "bilinear"), 0);
    EXPECT_EQ(options_.OptDefault("dither_method", "triangular"), 0);
    EXPECT_EQ(options_.OptDefault("no_such_option_anywhere", "1"), AVERROR_OPTION_NOT_FOUND);

    auto value_of = [](const AVDictionary* dict, const char* key) -> std::string {
        const AVDictionaryEntry* entry = ff.av_dict_get(dict, key, nullptr, 0);
        return entry != nullptr ? entry->value : "<absent>";
    };
    EXPECT_EQ(value_of(options_.codec_opts.Get(), "crf"), "20");
    EXPECT_EQ(value_of(options_.codec_opts.Get(), "b:v"), "1M");
    EXPECT_EQ(value_of(options_.codec_opts.Get(), "ab"), "128k");
    EXPECT_EQ(value_of(options_.codec_opts.Get(), "probesize"), "<absent>");
    EXPECT_EQ(value_of(options_.format_opts.Get(), "probesize"), "5000000");
    EXPECT_EQ(value_of(options_.format_opts.Get(), "crf"), "<absent>");
    EXPECT_EQ(value_of(options_.swr_opts.Get(), "dither_method"), "triangular");
    EXPECT_EQ(ff.av_dict_count(options_.codec_opts.Get()), 3);
    EXPECT_EQ(ff.av_dict_count(options_.format_opts.Get()), 1);
    std::int64_t flags = 0;
    ASSERT_EQ(ff.av_opt_get_int(options_.sws_opts.get(), "sws_flags", 0, &flags), 0);
    EXPECT_EQ(flags, SWS_BILINEAR);

    // The pending sets become the file's group; fresh ones start empty.
    options_.FinishGroup();
    EXPECT_EQ(value_of(options_.current_group.codec_opts.Get(), "crf"), "20");
    EXPECT_EQ(value_of(options_.current_group.swr_opts.Get(), "dither_method"), "triangular");
    EXPECT_EQ(options_.codec_opts.Get(), nullptr);
    EXPECT_NE(options_.sws_opts, nullptr);
    // A group that already holds library options cannot take another set.
    EXPECT_THROW(options_.FinishGroup(), FFmpegException);
}

TEST_F(OptionsTest, OptDefaultAppendsFlagsAndReplacesOtherValues) {
    ASSERT_EQ(options_.OptDefault("flags", "+global_header"), 0);
    ASSERT_EQ(options_.OptDefault("flags", "+cgop"), 0);
    ASSERT_EQ(options_.OptDefault("g", "12"), 0);
    ASSERT_EQ(options_.OptDefault("g", "25"), 0);
    EXPECT_STREQ(ff.av_dict_get(options_.codec_opts.Get(), "flags", nullptr, 0)->value,
                 "+global_header+cgop");
    EXPECT_STREQ(ff.av_dict_get(options_.codec_opts.Get(), "g", nullptr, 0)->value, "25");
}

TEST_F(OptionsTest, OptDefaultRejectsBadValuesForScalerAndResampler) {
    EXPECT_LT(options_.OptDefault("dither_method", "no_such_method"), 0);
    EXPECT_EQ(PendingErrorText(), "Error setting option \"dither_method\"");
    EXPECT_EQ(options_.swr_opts.Get(), nullptr);
}

TEST_F(OptionsTest, DebugOptionRaisesTheLogLevel) {
    GlobalLogger().SetLogLevel(llInfo);
    EXPECT_EQ(options_.OptDefault("debug", "1"), 0);  // also a codec option
    EXPECT_EQ(GlobalLogger().LogLevel(), llDebug);
    EXPECT_EQ(ff.av_log_get_level(), AV_LOG_DEBUG);
}

TEST_F(OptionsTest, SplitOptionsFinishesTheGroup) {
    ASSERT_EQ(Split({"-crf", "23", "-probesize", "32", "-f", "mp4"}), 0);
    EXPECT_STREQ(ff.av_dict_get(options_.current_group.codec_opts.Get(), "crf", nullptr, 0)->value,
                 "23");
    EXPECT_STREQ(
        ff.av_dict_get(options_.current_group.format_opts.Get(), "probesize", nullptr, 0)->value,
        "32");
    EXPECT_EQ(options_.codec_opts.Get(), nullptr);
    ASSERT_EQ(options_.current_group.options.size(), 1u);
    EXPECT_EQ(options_.current_group.options[0].entry->name, "f");
}

struct LocateCase {
    std::vector<std::string> tokens;
    const char* name;
    int index;
};

TEST_F(OptionsTest, LocateOptionSkipsArgumentsAndStrayTokens) {
    const LocateCase cases[] = {
        {{"-f", "mp4", "-loglevel", "debug"}, "loglevel", 2},
        {{"-f", "-loglevel"}, "loglevel", -1},  // it is the argument of -f
        {{"stray", "-noy", "-v", "24"}, "v", 2},
        {{"-noy"}, "y", 0},
        {{"-unknown", "-v", "24"}, "unknown", 0},
        {{}, "v", -1},
    };
    for (const LocateCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.tokens));
        EXPECT_EQ(LocateOption(c.tokens, table_.data(), c.name), c.index);
    }
}

TEST_F(OptionsTest, LogLevelByNameOrNumber) {
    const struct {
        const char* value;
        TLogLevel level;
    } cases[] = {{"info", llInfo},   {"32", llInfo},     {"39", llInfo},
                 {"quiet", llQuiet}, {"debug", llDebug}, {"24", llWarning},
                 {"error", llError}, {"-8", llQuiet},    {"100", llDebug}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        GlobalLogger().SetLogLevel(llPanic);
        EXPECT_EQ(OptLogLevel("loglevel", c.value), 0);
        EXPECT_EQ(GlobalLogger().LogLevel(), c.level);
        EXPECT_EQ(ff.av_log_get_level(), LibraryLevelOf(c.level));
    }
    for (const char* bad : {"32k", "Info", "", "loud"}) {
        SCOPED_TRACE(bad);
        ClearPendingErrorText();
        EXPECT_EQ(OptLogLevel("loglevel", bad), AVERROR(EINVAL));
        EXPECT_EQ(PendingErrorText(),
                  "Invalid loglevel \"" + std::string(bad) +
                      "\". Possible levels are numbers or:\n\"quiet\"\n\"panic\"\n"
                      "\"fatal\"\n\"error\"\n\"warning\"\n\"info\"\n\"verbose\"\n"
                      "\"debug\"\n");
    }
}

TEST_F(OptionsTest, LogLevelIsAppliedBeforeTheRest) {
    GlobalLogger().SetLogLevel(llInfo);
    const std::vector<std::string> tokens{"-f", "mp4", "-v", "verbose"};
    ApplyLogLevelFirst(tokens, table_.data());
    EXPECT_EQ(GlobalLogger().LogLevel(), llVerbose);
    const std::vector<std::string> both{"-v", "error", "-loglevel", "debug"};
    ApplyLogLevelFirst(both, table_.data());  // "loglevel" is looked for first
    EXPECT_EQ(GlobalLogger().LogLevel(), llDebug);
}

// Arbitrary byte tokens must end in a code or a raised error, never in a
// crash or leak (the sanitizer build runs this).
TEST_F(OptionsTest, ArbitraryTokensNeverCrash) {
    GlobalLogger().SetLogLevel(llQuiet);
    std::mt19937 random(12345);
    const std::vector<std::string> seeds{"-f",   "-c:v", "-y",      "-no",        "-noy",
                                         "-",    "-t",   "-crf",    "-sws_flags", "-dither_method",
                                         "-vol", "-map", "-report", "-probesize", "-loglevel"};
    for (int round = 0; round < 400; ++round) {
        std::vector<std::string> tokens;
        const int count = static_cast<int>(random() % 8);
        for (int i = 0; i < count; ++i) {
            if (random() % 2 == 0) {
                tokens.push_back(seeds[random() % seeds.size()]);
                continue;
            }
            std::string token(random() % (round % 50 == 0 ? 5000 : 12), '\0');
            for (char& c : token) {
                c = static_cast<char>(random() % 256);
            }
            tokens.push_back(token);
        }
        options_.ResetGroups();
        ctx_ = OptionsContext{};
        ctx_.group = &options_.current_group;
        try {
            (void)LocateOption(tokens, table_.data(), "loglevel");
            const int result = Split(tokens, round % 2 == 0);
            EXPECT_LE(result, 0);
            if (result == 0) {
                ApplyOptionGroup(nullptr, options_.global_group, "global");
                ApplyOptionGroup(&ctx_, options_.current_group, "input file");
            }
        } catch (const FFmpegException&) {
            // value conversion errors are raised by design
        }
    }
}

}  // namespace
}  // namespace tavrin

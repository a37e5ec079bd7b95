// Splitting tavrin-transcode's command line into per-file options texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cli/transcode_arguments.h"
#include "media/options/option_tokenizer.h"

namespace tavrin::cli {
namespace {

TEST(TranscodeArgumentsTest, OptionsBelongToTheFileThatFollows) {
    std::string error;
    const auto args =
        SplitTranscodeArguments({"-ss", "2", "-i", "a.mp4", "-i", "b.mp3", "-c:v", "mpeg4", "-join",
                                 "-loglevel", "debug", "-map", "0:0", "out.mkv"},
                                error);
    ASSERT_TRUE(args) << error;
    ASSERT_EQ(args->Inputs.size(), 2u);
    EXPECT_EQ(args->Inputs[0].FileName, "a.mp4");
    EXPECT_EQ(args->Inputs[0].Options, "-ss 2");
    EXPECT_EQ(args->Inputs[1].FileName, "b.mp3");
    EXPECT_EQ(args->Inputs[1].Options, "");
    EXPECT_EQ(args->OutputOptions, "-c:v mpeg4 -map 0:0");
    EXPECT_EQ(args->OutputFileName, "out.mkv");
    EXPECT_TRUE(args->Join);
    EXPECT_EQ(args->LogLevel, llDebug);
}

TEST(TranscodeArgumentsTest, Refusals) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{}, "At least one input file must be given with -i"},
        {{"-i", "a.mp4"}, "An output file name must follow the inputs and their options"},
        {{"-i"}, "-i needs a file name"},
        {{"-loglevel"}, "-loglevel needs a level"},
        {{"-loglevel", "loud", "-i", "a", "b"}, "Unknown log level \"loud\""},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(SplitTranscodeArguments(c.args, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(TranscodeArgumentsTest, LogLevels) {
    EXPECT_EQ(ParseLogLevel("quiet"), llQuiet);
    EXPECT_EQ(ParseLogLevel("warning"), llWarning);
    EXPECT_EQ(ParseLogLevel("trace"), llDebug);
    EXPECT_EQ(ParseLogLevel("32"), llInfo);  // the library's numbers
    EXPECT_EQ(ParseLogLevel("16"), llError);
    EXPECT_FALSE(ParseLogLevel("3x"));
    EXPECT_FALSE(ParseLogLevel(""));
}

TEST(TranscodeArgumentsTest, QuotedArgumentsSurviveTheTokenizer) {
    const std::vector<std::string> arguments = {"plain",
                                                "",
                                                "with blank",
                                                "tab\there",
                                                "quote\"inside",
                                                "back\\slash",
                                                "ends\\",
                                                "\\\"both\\",
                                                "[0:v][1:v]overlay=10:10 [out]",
                                                "C:\\dir with blank\\"};
    std::string text;
    for (const std::string& argument : arguments) {
        text += QuoteOptionArgument(argument) + " ";
    }
    EXPECT_EQ(TokenizeOptions(text), arguments);
    EXPECT_EQ(QuoteOptionArgument("plain"), "plain");
}

}  // namespace
}  // namespace tavrin::cli

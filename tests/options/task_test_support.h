// Shared pieces of the option-layer tests: the real libraries loaded once,
// and a capture of the log lines a task writes.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "media/options/ff_options.h"
#include "media/options/file_options.h"
#include "media/options/option_table.h"
#include "media/options/transcode_context.h"
#include "media/options/value_parsers.h"
#include "media/runtime/loader.h"
#include "media/runtime/logger.h"

namespace tavrin::testing {

// Loads every FFmpeg library from the system; fails the test when it cannot.
inline void RequireLibraries() {
    if (!FFLoader().LibrarySetLoaded(AllLibs)) {
        ASSERT_TRUE(FFLoader().LoadLibs(AllLibs)) << FFLoader().LastErrorText();
    }
}

struct LoggedLine {
    TLogLevel level;
    std::string text;
};

// The application logger for one test, recording every line down to debug
// level synchronously on the logging thread.
class LogCapture {
public:
    LogCapture() {
        logger_.SetTriggerEventInMainThread(false);
        logger_.SetLogLevel(llDebug);
        logger_.SetOnLog(
            [this](const void*, std::uint32_t, TLogLevel level, const std::string& text) {
                const std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back({level, text});
            });
    }
    ~LogCapture() { logger_.SetOnLog(nullptr); }

    // Lines at `level` whose text contains `part`.
    int Count(TLogLevel level, const std::string& part) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        int count = 0;
        for (const LoggedLine& line : lines_) {
            if (line.level == level && line.text.find(part) != std::string::npos) {
                ++count;
            }
        }
        return count;
    }
    bool Has(TLogLevel level, const std::string& part) const { return Count(level, part) > 0; }
    void Clear() {
        const std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }
    TREVaduzi& Logger() { return logger_; }

private:
    TREVaduzi logger_;
    mutable std::mutex mutex_;
    std::vector<LoggedLine> lines_;
};

// A task with its option table built, one options context and a log
// capture; Parse runs one file's texts through ParseFileOptions.
class OptionTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        RequireLibraries();
        BuildOptionTable(task_);
        ctx_ = OptionsContext(task_);
    }

    int Parse(const std::string& options_text, const std::string& presets_text = "",
              const std::string& group_name = "output file") {
        return ParseFileOptions(task_, ctx_, options_text, group_name, presets_text);
    }
    // Starts the next file of the same task.
    void NextFile() { ctx_ = OptionsContext(task_); }
    std::string CodecOption(const char* key) const {
        return DictValue(ctx_.group->codec_opts.Get(), key);
    }
    std::string FormatOption(const char* key) const {
        return DictValue(ctx_.group->format_opts.Get(), key);
    }
    static std::string DictValue(const AVDictionary* dict, const char* key) {
        const AVDictionaryEntry* entry = ff.av_dict_get(dict, key, nullptr, 0);
        return entry != nullptr ? entry->value : "<none>";
    }

    LogCapture log_;
    TCustomFFmpegOpt task_;
    OptionsContext ctx_;
};

// "<specifier>=<value>" of every occurrence, for comparing whole lists.
inline std::vector<std::string> Occurrences(const SpecifierList& list) {
    std::vector<std::string> out;
    for (const SpecifierValue& occurrence : list) {
        out.push_back(occurrence.specifier + "=" + occurrence.str);
    }
    return out;
}

}  // namespace tavrin::testing

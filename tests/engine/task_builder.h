// Building an engine task for tests the way the encoder component does:
// every input opened with its options text, then the output.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "media/engine/custom_ffmpeg.h"
#include "media/options/input_file.h"
#include "media/options/option_table.h"
#include "media/options/output_file.h"
#include "media/runtime/loader.h"
#include "media/runtime/logger.h"

namespace tavrin::testing {

struct TaskInput {
    std::string file;
    std::string options;
};

// Opens the inputs and the output of `task`; false with task.LastError set
// when one of them fails (raised failures included).
inline bool BuildEngineTask(TCustomFFmpeg& task, const std::vector<TaskInput>& inputs,
                            const std::string& output_options, const std::string& output_file,
                            bool join = false) {
    BuildOptionTable(task);
    for (const TaskInput& input : inputs) {
        int result = -1;
        try {
            OptionsContext ctx(task);
            result = OpenInputFile(task, ctx, input.options, input.file, "");
        } catch (const std::exception& error) {
            task.LastError = error.what();
        }
        if (result < 0) {
            return false;
        }
    }
    int result = -1;
    try {
        OptionsContext ctx(task);
        result = OpenOutputFile(task, ctx, output_options, join, output_file, "");
    } catch (const std::exception& error) {
        task.LastError = error.what();
    }
    return result >= 0;
}

inline void LoadEncoderLibraries() {
    if (!FFLoader().LibrarySetLoaded(EncoderLibs)) {
        ASSERT_TRUE(FFLoader().LoadLibs(EncoderLibs)) << FFLoader().LastErrorText();
    }
}

// The application logger for one test, keeping every line down to verbose.
class EngineLog {
public:
    EngineLog() {
        logger_.SetTriggerEventInMainThread(false);
        logger_.SetLogLevel(llVerbose);
        logger_.SetOnLog(
            [this](const void*, std::uint32_t, TLogLevel level, const std::string& text) {
                const std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back({level, text});
            });
    }
    ~EngineLog() { logger_.SetOnLog(nullptr); }

    // Lines at `level` containing `part`.
    int Count(TLogLevel level, const std::string& part) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        int count = 0;
        for (const auto& line : lines_) {
            if (line.first == level && line.second.find(part) != std::string::npos) {
                ++count;
            }
        }
        return count;
    }
    bool Has(TLogLevel level, const std::string& part) const { return Count(level, part) > 0; }
    // Every line containing `part`, whatever its level.
    bool Contains(const std::string& part) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& line : lines_) {
            if (line.second.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    TREVaduzi logger_;
    mutable std::mutex mutex_;
    std::vector<std::pair<TLogLevel, std::string>> lines_;
};

}  // namespace tavrin::testing

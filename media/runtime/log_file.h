// The log file: one line per message, appended, the file kept open between
// lines and shut to other writers while it is open.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "media/runtime/logger.h"

namespace tavrin {

// "hh:nn:ss zzz [THREADID] Level: text\n" with the local time of `when`.
std::string FormatLogLine(std::chrono::system_clock::time_point when, std::uint32_t thread_id,
                          TLogLevel level, const std::string& text);

class TLogFileWriter {
public:
    TLogFileWriter() = default;
    ~TLogFileWriter() { Close(); }
    TLogFileWriter(const TLogFileWriter&) = delete;
    TLogFileWriter& operator=(const TLogFileWriter&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    // Opens (creating when missing) for appending and takes an exclusive
    // lock; raises FFmpegException with the reason when that fails.
    void Open(const std::string& file_name);
    // Appends the line, opening the file first when it is not open.
    void Append(const std::string& file_name, const std::string& line);
    void Close();

private:
    int fd_ = -1;
    std::string file_name_;
};

}  // namespace tavrin

#include "media/runtime/log_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {

std::string FormatLogLine(std::chrono::system_clock::time_point when, std::uint32_t thread_id,
                          TLogLevel level, const std::string& text) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char time_text[32];
    std::snprintf(time_text, sizeof time_text, "%02d:%02d:%02d %03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(millis < 0 ? millis + 1000 : millis));
    char head[64];
    std::snprintf(head, sizeof head, "%s [%.8X] %s: ", time_text, thread_id, LogLevelName(level));
    std::string line = head;
    line += text;
    line += "\n";
    return line;
}

void TLogFileWriter::Open(const std::string& file_name) {
    Close();
    const int fd = ::open(file_name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw FFmpegException("Cannot open log file \"" + file_name +
                              "\": " + std::strerror(errno));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            throw FFmpegException("Cannot open log file \"" + file_name +
                                  "\": another writer has it open.");
        }
        throw FFmpegException("Cannot lock log file \"" + file_name +
                              "\": " + std::strerror(error));
    }
    fd_ = fd;
    file_name_ = file_name;
}

void TLogFileWriter::Append(const std::string& file_name, const std::string& line) {
    if (fd_ < 0) {
        Open(file_name);
    }
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw FFmpegException("Cannot write log file \"" + file_name_ +
                                  "\": " + std::strerror(errno));
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

void TLogFileWriter::Close() {
    if (fd_ >= 0) {
        ::close(fd_);  // also releases the lock
        fd_ = -1;
    }
}

}  // namespace tavrin

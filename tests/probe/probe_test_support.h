// Shared pieces of the decoder tests: library loading, ffprobe as an oracle,
// capturing the decoder's log, a few fixtures and a TCP peer that never talks.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/media_fixtures.h"
#include "media/probe/decoder_component.h"
#include "media/runtime/logger.h"

namespace tavrin::testing {

// Loads the decoder's libraries from the system once per test program.
inline void LoadDecoderLibraries() {
    TVEVarazez decoder;
    ASSERT_TRUE(decoder.LoadLibraries("")) << decoder.LastErrorText();
}

// "section.key" -> value of `ffprobe -of flat`, quotes removed, e.g.
// "format.duration" -> "2.005000", "streams.stream.0.width" -> "160".
inline std::map<std::string, std::string> ProbeValues(const std::filesystem::path& file) {
    const std::string output = RunFfprobe("-of flat -show_format -show_streams -show_chapters " +
                                          ShellQuote(file.string()));
    std::map<std::string, std::string> values;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        values[line.substr(0, equals)] = value;
    }
    return values;
}

// Seconds as ffprobe prints them ("2.005000") to microseconds.
inline int64_t Microseconds(const std::string& seconds) {
    return std::llround(std::stod(seconds) * 1000000.0);
}

// The information text split at its line ends; fails the test on a last
// line without one and on a carriage return anywhere.
inline std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        EXPECT_NE(end, std::string::npos) << "line without its end: " << text.substr(start);
        if (end == std::string::npos) {
            break;
        }
        lines.push_back(text.substr(start, end - start));
        EXPECT_EQ(lines.back().find('\r'), std::string::npos) << lines.back();
        start = end + 1;
    }
    return lines;
}

// Collects every message the process logger delivers while it exists.
class LogCapture {
public:
    LogCapture() {
        logger_.SetTriggerEventInMainThread(false);
        logger_.SetLogLevel(llDebug);
        logger_.SetOnLog(
            [this](const void* sender, std::uint32_t, TLogLevel level, const std::string& text) {
                const std::lock_guard<std::mutex> lock(mutex_);
                messages_.push_back({sender, level, text});
            });
    }
    ~LogCapture() { logger_.SetOnLog(nullptr); }

    // Whether `sender` logged exactly `text` at `level`.
    bool Has(const void* sender, TLogLevel level, const std::string& text) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const Message& message : messages_) {
            if (message.sender == sender && message.level == level && message.text == text) {
                return true;
            }
        }
        return false;
    }
    int Count(const std::string& text) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        int count = 0;
        for (const Message& message : messages_) {
            count += message.text == text ? 1 : 0;
        }
        return count;
    }

private:
    struct Message {
        const void* sender;
        TLogLevel level;
        std::string text;
    };
    TREVaduzi logger_;
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
};

// A TCP port on 127.0.0.1 whose connections are accepted by the kernel and
// then never served: every read blocks.
class SilentTcpPeer {
public:
    SilentTcpPeer() {
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(socket_, 4) != 0 ||
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
            return;
        }
        port_ = ntohs(address.sin_port);
    }
    ~SilentTcpPeer() {
        if (socket_ >= 0) {
            ::close(socket_);
        }
    }
    SilentTcpPeer(const SilentTcpPeer&) = delete;
    SilentTcpPeer& operator=(const SilentTcpPeer&) = delete;

    std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    int Socket() const { return socket_; }

private:
    int socket_ = -1;
    int port_ = 0;
};

// A TCP port on 127.0.0.1 that serves one connection with `bytes` and then
// keeps it open without sending more.
class StallingTcpPeer {
public:
    explicit StallingTcpPeer(std::string bytes) : listener_(), bytes_(std::move(bytes)) {
        server_ = std::thread([this] { Serve(); });
    }
    ~StallingTcpPeer() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
        ::shutdown(listener_.Socket(), SHUT_RDWR);  // wakes an accept that never got a peer
        server_.join();
    }
    StallingTcpPeer(const StallingTcpPeer&) = delete;
    StallingTcpPeer& operator=(const StallingTcpPeer&) = delete;

    std::string Url() const { return listener_.Url(); }

private:
    void Serve() {
        const int connection = ::accept(listener_.Socket(), nullptr, nullptr);
        if (connection < 0) {
            return;
        }
        size_t sent = 0;
        while (sent < bytes_.size()) {
            const ssize_t n = ::send(connection, bytes_.data() + sent, bytes_.size() - sent, 0);
            if (n <= 0) {
                break;
            }
            sent += static_cast<size_t>(n);
        }
        std::unique_lock<std::mutex> lock(mutex_);
        stopped_.wait(lock, [this] { return stop_; });
        ::close(connection);
    }

    SilentTcpPeer listener_;
    std::string bytes_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread server_;
};

// A short MP4 with video (mpeg4, 160x120, 25 fps, key frame every 5 pictures)
// and mono AAC audio.
inline std::filesystem::path MakeShortMp4(const TempDir& dir, const std::string& name = "av.mp4") {
    const auto path = dir / name;
    RunFfmpeg(
        "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 "
        "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 "
        "-c:v mpeg4 -g 5 -q:v 5 -c:a aac -b:a 64k -shortest " +
        ShellQuote(path.string()));
    return path;
}

}  // namespace tavrin::testing

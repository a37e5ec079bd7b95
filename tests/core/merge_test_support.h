// Media of the merge tests: a video, songs with a tone of their own each,
// and a way to tell which tone a written file plays at a given time.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"
#include "fixtures/serve_main_thread.h"
#include "fixtures/wait_until.h"
#include "media/runtime/unique_fd.h"

namespace tavrin::testing {

// A video of `seconds` with a video and an audio stream (200 Hz).
inline std::filesystem::path MakeMergeVideo(const TempDir& dir, const std::string& name,
                                            double seconds, const std::string& size = "160x120") {
    const auto path = dir / name;
    RunFfmpeg("-f lavfi -i testsrc=size=" + size + ":rate=15:duration=" + std::to_string(seconds) +
              " -f lavfi -i sine=frequency=200:duration=" + std::to_string(seconds) +
              " -c:v mpeg4 -q:v 5 -c:a aac -shortest " + ShellQuote(path.string()));
    return path;
}

// An MP3 song of one tone.
inline std::filesystem::path MakeSong(const TempDir& dir, const std::string& name, double seconds,
                                      int frequency) {
    const auto path = dir / name;
    RunFfmpeg("-f lavfi -i sine=frequency=" + std::to_string(frequency) +
              ":sample_rate=44100:duration=" + std::to_string(seconds) +
              " -c:a libmp3lame -b:a 64k " + ShellQuote(path.string()));
    return path;
}

// A copy of `song` with a small picture as stream 0 and the sound after it,
// as a cover. The file name's ending picks the container: Matroska keeps that
// order, MP3 files list their sound first.
inline std::filesystem::path MakeSongWithCover(const TempDir& dir, const std::string& name,
                                               const std::filesystem::path& song) {
    const auto picture = dir / (name + ".png");
    RunFfmpeg("-f lavfi -i testsrc=size=64x64:duration=1 -frames:v 1 " +
              ShellQuote(picture.string()));
    const auto path = dir / name;
    RunFfmpeg("-i " + ShellQuote(picture.string()) + " -i " + ShellQuote(song.string()) +
              " -map 0 -map 1 -c:v png -c:a copy -disposition:v attached_pic " +
              ShellQuote(path.string()));
    return path;
}

// The media most merge tests share, in `dir`: video.mp4 (20 s), song440.mp3,
// song880.mp3 and song1320.mp3 (10 s each), short.mp3 (5 s, 660 Hz) and
// notes.txt, which is not media.
inline void MakeMergeMediaSet(const TempDir& dir) {
    MakeMergeVideo(dir, "video.mp4", 20);
    for (const int frequency : {440, 880, 1320}) {
        MakeSong(dir, "song" + std::to_string(frequency) + ".mp3", 10, frequency);
    }
    MakeSong(dir, "short.mp3", 5, 660);
    std::ofstream(dir / "notes.txt") << "not media\n";
}

// The frequency of the tone the file's audio plays during half a second from
// `at` seconds, from the zero crossings of its decoded samples; -1 when
// nothing could be decoded.
inline double ToneAt(const std::filesystem::path& file, double at) {
    const std::filesystem::path raw = file.string() + ".window.raw";
    const int status = RunCommand("ffmpeg -nostdin -v error -y -ss " + std::to_string(at) +
                                  " -t 0.5 -i " + ShellQuote(file.string()) +
                                  " -vn -ac 1 -ar 8000 -f s16le " + ShellQuote(raw.string()));
    std::vector<std::int16_t> samples;
    if (status == 0) {
        if (std::FILE* in = std::fopen(raw.c_str(), "rb")) {
            std::int16_t sample = 0;
            while (std::fread(&sample, sizeof sample, 1, in) == 1) {
                samples.push_back(sample);
            }
            std::fclose(in);
        }
    }
    std::filesystem::remove(raw);
    if (samples.size() < 800) {
        return -1;
    }
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    }
    return crossings / 2.0 / (static_cast<double>(samples.size()) / 8000.0);
}

// Duration of the file's first stream of a type ("a" or "v"), seconds; -1
// when ffprobe finds none. Containers that keep no stream duration
// (Matroska, WebM) give the end of the stream's last packet.
inline double StreamSeconds(const std::filesystem::path& file, const std::string& type) {
    const std::string quoted = ShellQuote(file.string());
    const std::string text = RunFfprobe("-v error -select_streams " + type +
                                        ":0 -show_entries stream=duration -of csv=p=0 " + quoted);
    try {
        return std::stod(text);
    } catch (const std::exception&) {
    }
    const std::string packets = RunFfprobe("-v error -select_streams " + type +
                                           ":0 -show_entries packet=pts_time,duration_time "
                                           "-of csv=p=0 " +
                                           quoted);
    double end = -1;
    std::size_t start = 0;
    while (start < packets.size()) {
        std::size_t stop = packets.find('\n', start);
        if (stop == std::string::npos) {
            stop = packets.size();
        }
        const std::string line = packets.substr(start, stop - start);
        start = stop + 1;
        const std::size_t comma = line.find(',');
        try {
            const double pts = std::stod(line.substr(0, comma));
            const double duration =
                comma == std::string::npos ? 0 : std::stod(line.substr(comma + 1));
            end = std::max(end, pts + duration);
        } catch (const std::exception&) {
        }
    }
    return end;
}

inline std::string StreamCodec(const std::filesystem::path& file, const std::string& type) {
    std::string text =
        RunFfprobe("-v error -select_streams " + type +
                   ":0 -show_entries stream=codec_name -of csv=p=0 " + ShellQuote(file.string()));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// The names of the files in a folder, sorted.
inline std::vector<std::string> FolderEntries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A file's whole content; "" when it cannot be read.
inline std::string ReadWholeFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The text's last line that is not empty.
inline std::string LastLine(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    std::string last;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            last = line;
        }
    }
    return last;
}

// The shell words that give tavrin-merge a home of its own, so that it finds
// and writes no user's settings.
inline std::string OwnHomeEnvironment(const std::filesystem::path& home) {
    return "HOME=" + ShellQuote(home.string()) +
           " XDG_CONFIG_HOME=" + ShellQuote((home / "config").string()) + " ";
}

// Runs a program of the build's app folder with a home of its own; the exit
// status, stdout in `out` and stderr in `err` (each when not null).
inline int RunWithOwnHome(const std::filesystem::path& home, const std::string& program,
                          const std::string& arguments, std::string* out = nullptr,
                          std::string* err = nullptr) {
    const std::filesystem::path err_file = home / "stderr.txt";
    std::string output;
    const int status = RunCommand(OwnHomeEnvironment(home) + ProgramPath(program) + " " +
                                      arguments + " 2>" + ShellQuote(err_file.string()),
                                  &output);
    if (out != nullptr) {
        *out = output;
    }
    if (err != nullptr) {
        *err = ReadWholeFile(err_file);
    }
    return status;
}

// A named pipe whose open blocks: once a reader opens it, a writer that
// writes nothing holds the reader's open while `call` is handed to the main
// thread from a thread of its own; the writer then closes, and the open
// fails. It waits 10 s at most for the call: an open on the main thread
// itself lets the call run only after that.
class TBlockedOpen {
public:
    TBlockedOpen(const std::filesystem::path& pipe, std::function<void()> call)
        : made_(::mkfifo(pipe.c_str(), 0600) == 0), call_(std::move(call)) {
        if (made_) {
            writer_ = std::thread([this, pipe] { HoldOpen(pipe); });
        }
    }
    // On the main thread: serves it until the call has run.
    ~TBlockedOpen() {
        if (writer_.joinable()) {
            writer_.join();
        }
        if (caller_.joinable()) {
            ServeMainThreadUntil([this] { return served_.load(); }, std::chrono::minutes(10));
            caller_.join();
        }
    }
    TBlockedOpen(const TBlockedOpen&) = delete;
    TBlockedOpen& operator=(const TBlockedOpen&) = delete;

    bool Made() const { return made_; }

private:
    void HoldOpen(const std::filesystem::path& pipe) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        UniqueFd writer;
        // Without a reader a non-blocking open for writing fails at once.
        while (!writer.Valid() && std::chrono::steady_clock::now() < deadline) {
            writer = UniqueFd(::open(pipe.c_str(), O_WRONLY | O_NONBLOCK));
            if (!writer.Valid()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        if (!writer.Valid()) {
            return;
        }
        caller_ = std::thread([this] {
            RunInMainThread(call_);
            served_ = true;
        });
        // Ten seconds at most, as said above: not a time-out of the test.
        WaitUntil([this] { return served_.load(); }, std::chrono::seconds(10));
    }

    bool made_;
    std::function<void()> call_;
    std::atomic<bool> served_{false};
    std::thread caller_;
    std::thread writer_;
};

}  // namespace tavrin::testing

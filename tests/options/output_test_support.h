// Shared pieces of the output-side tests: a task whose inputs are opened from
// small media made once per test program, and helpers to open its output.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "fixtures/media_fixtures.h"
#include "media/options/input_file.h"
#include "media/options/output_file.h"
#include "options/task_test_support.h"

namespace tavrin::testing {

// The media every output test may read, made on first use.
struct OutputTestMedia {
    TempDir dir;
    std::filesystem::path video;     // 160x120 MPEG-4, mono AAC, 1 s
    std::filesystem::path big;       // 320x240 MPEG-4, no audio, 1 s
    std::filesystem::path stereo;    // stereo MP3, 1 s
    std::filesystem::path mono;      // mono MP3, 1 s
    std::filesystem::path titled;    // video with a title and a French audio stream
    std::filesystem::path subs;      // SubRip subtitles only
    std::filesystem::path chapters;  // video with chapters 0-0.5 s "One", 0.5-1 s "Two"

    static const OutputTestMedia& Get() {
        static const std::unique_ptr<OutputTestMedia> media = [] {
            auto made = std::make_unique<OutputTestMedia>();
            made->Make();
            return made;
        }();
        return *media;
    }

private:
    void Make() {
        video = MakeVideoWithAudio(dir, "video.mp4", 1.0);
        big = dir / "big.mkv";
        RunFfmpeg("-f lavfi -i testsrc=size=320x240:rate=25:duration=1 -c:v mpeg4 " +
                  ShellQuote(big.string()));
        stereo = dir / "stereo.mp3";
        RunFfmpeg("-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -ac 2 " +
                  ShellQuote(stereo.string()));
        mono = MakeTone(dir, "mono.mp3", 1.0);
        titled = dir / "titled.mkv";
        RunFfmpeg("-i " + ShellQuote(video.string()) +
                  " -c copy -metadata title=Clip -metadata:s:a language=fra " +
                  ShellQuote(titled.string()));
        subs = dir / "subs.srt";
        std::ofstream(subs) << "1\n00:00:00,000 --> 00:00:01,000\nHello\n\n";
        const std::filesystem::path meta = dir / "chapters.txt";
        std::ofstream(meta) << ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=500\n"
                               "title=One\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=500\nEND=1000\n"
                               "title=Two\n";
        chapters = dir / "chapters.mkv";
        RunFfmpeg("-i " + ShellQuote(big.string()) + " -i " + ShellQuote(meta.string()) +
                  " -map_metadata 1 -c copy " + ShellQuote(chapters.string()));
    }
};

class OutputTaskTest : public OptionTaskTest {
protected:
    const OutputTestMedia& media() const { return OutputTestMedia::Get(); }

    // Opens an input file of the task; its index or a negative code.
    int AddInput(const std::filesystem::path& path, const std::string& options = "") {
        OptionsContext input(task_);
        return OpenInputFile(task_, input, options, path.string(), "");
    }

    // Opens the output with a fresh options context; `prepare` may fill
    // context fields before the options text is parsed into it.
    int Open(const std::string& options, const std::filesystem::path& file,
             const std::function<void()>& prepare = nullptr, bool join = false) {
        NextFile();
        if (prepare) {
            prepare();
        }
        return OpenOutputFile(task_, ctx_, options, join, file.string(), "");
    }
    int OpenJoined(const std::string& options, const std::filesystem::path& file) {
        return Open(options, file, nullptr, true);
    }

    // Forgets every file and stream of the task.
    void ResetTask() {
        task_.filtergraphs.clear();
        task_.output_streams.clear();
        task_.output_files.clear();
        task_.input_streams.clear();
        task_.input_files.clear();
        task_.Joined = false;
        task_.JoinStreamCount = 0;
        task_.TotalDuration = -1;
        task_.LastError.clear();
    }

    AVFormatContext* Out(std::size_t file = 0) { return task_.output_files.at(file)->ctx.get(); }
    const OutputStream& OutStream(std::size_t index) { return *task_.output_streams.at(index); }
    // The input stream an output stream is fed from, as "file:stream".
    std::string SourceOf(std::size_t index) {
        const int source = OutStream(index).source_index;
        if (source < 0) {
            return "none";
        }
        const InputStream& ist = *task_.input_streams.at(static_cast<std::size_t>(source));
        return std::to_string(ist.file_index) + ":" + std::to_string(ist.stream->index);
    }

    TempDir dir_;
};

}  // namespace tavrin::testing

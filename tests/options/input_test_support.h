// Small real media for the tests that open input files, made once per test
// program, and a task fixture that opens them.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "fixtures/media_fixtures.h"
#include "media/options/input_file.h"
#include "options/task_test_support.h"

namespace tavrin::testing {

// The files every input test may open. Made on first use.
struct InputMedia {
    TempDir dir;
    std::filesystem::path video_audio;  // mpeg4 160x120 25 fps + aac, 2 s (mp4)
    std::filesystem::path tone10;       // mp3, 10 s
    std::filesystem::path tone40;       // mp3, 40 s
    std::filesystem::path font;         // the bytes attached to `attached`
    std::filesystem::path attached;     // mkv: mpeg4 video + font attachment
    std::filesystem::path mono_wav;     // pcm mono, no channel layout
    std::filesystem::path h264;         // h264 video, 25 fps (mp4)
    std::filesystem::path stereo_wav;   // pcm stereo, 2 channels
    std::filesystem::path text;         // a file that is not media

    static const InputMedia& Get() {
        static const std::unique_ptr<InputMedia> media = Make();
        return *media;
    }

private:
    static std::unique_ptr<InputMedia> Make() {
        auto media = std::make_unique<InputMedia>();
        const TempDir& dir = media->dir;
        media->video_audio = MakeVideoWithAudio(dir, "clip.mp4", 2.0);
        media->tone10 = MakeTone(dir, "tone10.mp3", 10.0);
        media->tone40 = MakeTone(dir, "tone40.mp3", 40.0, 660);
        media->font = dir / "Font Face.ttf";
        WriteFile(media->font,
                  std::string("\x00\x01\x00\x00", 4) + " not quite a font, attached as one\n");
        media->attached = MakeMatroskaWithAttachment(dir, media->font);
        media->mono_wav = dir / "mono.wav";
        RunFfmpeg("-f lavfi -i sine=duration=0.5 -ac 1 " + ShellQuote(media->mono_wav.string()));
        media->stereo_wav = dir / "stereo.wav";
        RunFfmpeg("-f lavfi -i sine=duration=0.5 -ac 2 " + ShellQuote(media->stereo_wav.string()));
        media->h264 = dir / "h264.mp4";
        RunFfmpeg("-f lavfi -i testsrc=size=64x48:rate=25:duration=0.4 -c:v libx264 " +
                  ShellQuote(media->h264.string()));
        media->text = dir / "notes.txt";
        WriteFile(media->text, "These are notes, not media.\nSecond line.\n");
        return media;
    }

public:
    static void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary);
        out << bytes;
    }
};

// A task with its option table built; Open runs OpenInputFile with a fresh
// options context for each file, as the encoder component does.
class InputTaskTest : public OptionTaskTest {
protected:
    const InputMedia& media() const { return InputMedia::Get(); }

    int Open(const std::filesystem::path& file, const std::string& options = "",
             const std::string& presets = "") {
        NextFile();
        return OpenInputFile(task_, ctx_, options, file.string(), presets);
    }

    InputStream& Stream(int file, int index) {
        const InputFile& input = *task_.input_files.at(static_cast<std::size_t>(file));
        return *task_.input_streams.at(static_cast<std::size_t>(input.first_stream + index));
    }
};

}  // namespace tavrin::testing

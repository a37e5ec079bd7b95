// tavrin-probe: the decoder component behind a command line. For every file it
// prints the component's information text and the file, video and audio
// records; a file that cannot be opened is reported with the component's
// LastErrorText and makes the exit status non-zero.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "app/cli/program_version.h"
#include "app/cli/standard_output.h"
#include "media/probe/decoder_component.h"

namespace {

constexpr char kUsage[] =
    "Usage: tavrin-probe [OPTIONS] FILE...\n"
    "Prints what each media FILE holds: its format, duration, chapters, programs\n"
    "and streams, then its file record and one record per video and audio stream.\n"
    "\n"
    "Options:\n"
    "  -f, --format NAME   open the files with the input format NAME\n"
    "  -t, --timeout MS    give up connecting or reading after MS milliseconds\n"
    "                      (default 30000; 0 waits for ever)\n"
    "      --versions      print the versions of the media libraries in use\n"
    "  -h, --help          print this help\n"
    "      --version       print the program's version\n"
    "\n"
    "The media libraries are taken from the folder \"LibAV\" next to the program\n"
    "when it holds them, else from the system.\n"
    "Exit status: 0 when every file was described, 1 when a file could not be\n"
    "opened, 2 on a usage error or when the libraries cannot be loaded.\n";

std::string TimeText(int64_t value) {
    return value == AV_NOPTS_VALUE ? std::string("N/A") : std::to_string(value);
}

void PrintFileRecord(const tavrin::TFileStreamInfo& info) {
    std::printf("File record\n");
    std::printf("  StartTime: %s\n", TimeText(info.StartTime).c_str());
    std::printf("  Duration: %" PRId64 "\n", info.Duration);
    std::printf("  BitRate: %d\n", info.BitRate);
    std::printf("  Year: %d\n", info.Year);
    std::printf("  Track: %d\n", info.Track);
    std::printf("  Title: %s\n", info.Title.c_str());
    std::printf("  Author: %s\n", info.Author.c_str());
    std::printf("  Copyright: %s\n", info.Copyright.c_str());
    std::printf("  Comment: %s\n", info.Comment.c_str());
    std::printf("  Album: %s\n", info.Album.c_str());
    std::printf("  Genre: %s\n", info.Genre.c_str());
}

void PrintVideoRecord(int index, const tavrin::TVideoStreamInfo& info) {
    std::printf("Video stream #%d\n", index);
    std::printf("  Language: %s\n", info.Language.c_str());
    std::printf("  CodecName: %s\n", info.CodecName.c_str());
    std::printf("  StreamStartTime: %s\n", TimeText(info.StreamStartTime).c_str());
    std::printf("  StartTime: %" PRId64 "\n", info.StartTime);
    std::printf("  StreamDuration: %s\n", TimeText(info.StreamDuration).c_str());
    std::printf("  Duration: %" PRId64 "\n", info.Duration);
    std::printf("  BitRate: %d\n", info.BitRate);
    std::printf("  Height: %d\n", info.Height);
    std::printf("  Width: %d\n", info.Width);
    std::printf("  SampleAspectRatio: %d:%d (%.3f)\n", info.SampleAspectRatio.num,
                info.SampleAspectRatio.den, info.SampleAspectRatioValue);
    std::printf("  DisplayAspectRatio: %d:%d (%.3f)\n", info.DisplayAspectRatio.num,
                info.DisplayAspectRatio.den, info.DisplayAspectRatioValue);
    std::printf("  PixelFormat: %d\n", info.PixelFormat);
    std::printf("  FrameRate: %d/%d\n", info.FrameRate.num, info.FrameRate.den);
}

void PrintAudioRecord(int index, const tavrin::TAudioStreamInfo& info) {
    std::printf("Audio stream #%d\n", index);
    std::printf("  Language: %s\n", info.Language.c_str());
    std::printf("  CodecName: %s\n", info.CodecName.c_str());
    std::printf("  StreamStartTime: %s\n", TimeText(info.StreamStartTime).c_str());
    std::printf("  StartTime: %" PRId64 "\n", info.StartTime);
    std::printf("  StreamDuration: %s\n", TimeText(info.StreamDuration).c_str());
    std::printf("  Duration: %" PRId64 "\n", info.Duration);
    std::printf("  BitRate: %d\n", info.BitRate);
    std::printf("  Channels: %d\n", info.Channels);
    std::printf("  SampleRate: %d\n", info.SampleRate);
    std::printf("  SampleFormat: %d\n", info.SampleFormat);
}

// Prints one file; false when it cannot be opened.
bool Describe(tavrin::TVEVarazez& decoder, const std::string& file, const std::string& format) {
    if (!decoder.LoadFile(file, format)) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", decoder.LastErrorText().c_str());
        return false;
    }
    std::fputs(decoder.FileInfoText().c_str(), stdout);
    tavrin::TFileStreamInfo file_info;
    decoder.GetFileStreamInfo(file_info);
    PrintFileRecord(file_info);
    for (int i = 0; i < decoder.StreamCount(); ++i) {
        if (decoder.IsVideoStream(i)) {
            tavrin::TVideoStreamInfo info;
            decoder.GetVideoStreamInfo(i, info);
            PrintVideoRecord(i, info);
        } else if (decoder.IsAudioStream(i)) {
            tavrin::TAudioStreamInfo info;
            decoder.GetAudioStreamInfo(i, info);
            PrintAudioRecord(i, info);
        }
    }
    decoder.CloseFile();
    return true;
}

int Run(int argc, char** argv) {
    if (tavrin::cli::PrintVersionIfAsked("tavrin-probe", argc, argv)) {
        return 0;
    }
    std::vector<std::string> files;
    std::string format;
    long timeout = tavrin::kDefaultTimeoutMs;
    bool versions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](const char* option) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tavrin-probe: %s needs a value\n", option);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--versions") {
            versions = true;
        } else if (arg == "-f" || arg == "--format") {
            const char* name = value(arg.c_str());
            if (name == nullptr) {
                return 2;
            }
            format = name;
        } else if (arg == "-t" || arg == "--timeout") {
            const char* text = value(arg.c_str());
            if (text == nullptr) {
                return 2;
            }
            char* end = nullptr;
            timeout = std::strtol(text, &end, 10);
            if (*text == '\0' || *end != '\0' || timeout < 0 || timeout > INT32_MAX) {
                std::fprintf(stderr, "tavrin-probe: invalid timeout \"%s\"\n", text);
                return 2;
            }
        } else if (arg == "--") {
            for (++i; i < argc; ++i) {
                files.emplace_back(argv[i]);
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "tavrin-probe: unknown option \"%s\"\n%s", arg.c_str(), kUsage);
            return 2;
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty() && !versions) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    tavrin::TVEVarazez decoder;
    decoder.SetTimeout(static_cast<int32_t>(timeout));
    if (!decoder.LoadLibraries()) {
        std::fprintf(stderr, "tavrin-probe: %s\n", decoder.LastErrorText().c_str());
        return 2;
    }
    if (versions) {
        for (const std::string& line : decoder.LibraryVersions()) {
            std::printf("%s\n", line.c_str());
        }
    }
    int status = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        if (i > 0) {
            std::printf("\n");
        }
        if (!Describe(decoder, files[i], format)) {
            status = 1;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return tavrin::cli::WithStandardOutputFlushed("tavrin-probe", Run(argc, argv));
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "tavrin-probe: %s\n", error.what());
        return 2;
    }
}

// Feeds arbitrary bytes through the options-text tokenizer and the option
// splitter of a task, strict and non-strict, with the real FFmpeg libraries
// answering the options the table does not know; then writes the file's own
// options (maps, channel maps, targets, stream ids and every per-stream list)
// against a fixed pair of opened inputs: a raw gray video and a stereo wav.
// Any crash, leak or undefined behaviour found here is a fault of the option
// layer.
#include <dlfcn.h>
#include <link.h>

#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "media/options/ff_options.h"
#include "media/options/input_file.h"
#include "media/options/option_table.h"
#include "media/options/option_tokenizer.h"
#include "media/options/transcode_context.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/loader.h"

namespace {

// Keeps every loaded FFmpeg library mapped after the loader unloads it at
// exit. The libraries hold process-wide allocations in their own globals;
// once a library is unmapped, the leak check that runs at exit can no longer
// see those roots and would report them as leaks of this program.
int PinLibrary(dl_phdr_info* info, std::size_t /*size*/, void* /*data*/) {
    const char* name = info->dlpi_name;
    if (name != nullptr &&
        (std::strstr(name, "/libav") != nullptr || std::strstr(name, "/libsw") != nullptr)) {
        dlopen(name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
    return 0;
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string LittleEndian(std::uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
    return out;
}

// 0.1 s of 16-bit stereo PCM at 8000 Hz.
std::string StereoWav() {
    const std::uint32_t data_size = 800 * 4;
    return "RIFF" + LittleEndian(36 + data_size, 4) + "WAVEfmt " + LittleEndian(16, 4) +
           LittleEndian(1, 2) + LittleEndian(2, 2) + LittleEndian(8000, 4) +
           LittleEndian(8000 * 4, 4) + LittleEndian(4, 2) + LittleEndian(16, 2) + "data" +
           LittleEndian(data_size, 4) + std::string(data_size, '\x10');
}

void OpenInput(tavrin::TCustomFFmpegOpt& task, const std::string& options,
               const std::filesystem::path& file) {
    const int result = [&] {
        tavrin::OptionsContext ctx(task);
        return tavrin::OpenInputFile(task, ctx, options, file.string(), "");
    }();
    if (result < 0) {
        std::fprintf(stderr, "option_fuzzer: cannot open %s: %s\n", file.c_str(),
                     task.LastError.c_str());
        std::abort();
    }
}

// One task for the whole run, with its two inputs opened once: input 0 is
// 16x16 gray video at 25 frames per second, input 1 a stereo wav.
tavrin::TCustomFFmpegOpt& FuzzTask() {
    static tavrin::TCustomFFmpegOpt task;
    static const bool opened = [] {
        namespace fs = std::filesystem;
        const fs::path dir =
            fs::temp_directory_path() / ("tavrin-fuzz-" + std::to_string(getpid()));
        fs::create_directories(dir);
        WriteFile(dir / "gray.raw", std::string(16 * 16 * 4, '\x80'));
        WriteFile(dir / "stereo.wav", StereoWav());
        tavrin::BuildOptionTable(task);
        OpenInput(task, "-f rawvideo -pix_fmt gray -s 16x16 -r 25", dir / "gray.raw");
        OpenInput(task, "", dir / "stereo.wav");
        std::error_code ignored;
        fs::remove_all(dir, ignored);  // the opened files stay readable
        return true;
    }();
    (void)opened;
    return task;
}

// Preset files are read from the path the text names: not something to do
// with arbitrary bytes.
bool ReadsPresetFile(const tavrin::OptionEntry* entry) {
    return entry->name == "apre" || entry->name == "vpre" || entry->name == "spre" ||
           entry->name == "fpre";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    if (!tavrin::FFLoader().LoadLibs(tavrin::AllLibs)) {
        std::fprintf(stderr, "option_fuzzer: cannot load the FFmpeg libraries: %s\n",
                     tavrin::FFLoader().LastErrorText().c_str());
        std::abort();
    }
    dl_iterate_phdr(&PinLibrary, nullptr);
    FuzzTask();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte chooses the mode, the rest is the options text.
    const bool strict = (data[0] & 1) != 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    const auto tokens = tavrin::TokenizeOptions(text);
    std::size_t token_bytes = 0;
    for (const auto& token : tokens) {
        token_bytes += token.size();
    }
    // Quotes and separators are dropped and backslash runs only shrink.
    if (token_bytes > text.size()) {
        std::abort();
    }

    // One options context per run, as a task parses one file after another.
    // Only the file's own options are written: the global ones change the
    // process (allocation limits, CPU flags) or open URLs.
    tavrin::TCustomFFmpegOpt& task = FuzzTask();
    task.StrictOptions = strict;
    tavrin::OptionsContext ctx(task);
    try {
        const int split = task.Options().SplitOptions(&ctx, strict, "output file",
                                                      tavrin::OptionTableOf(task), tokens);
        if (split >= 0) {
            for (const tavrin::ParsedOption& option : task.Options().current_group.options) {
                if (ReadsPresetFile(option.entry)) {
                    continue;
                }
                try {
                    tavrin::WriteOption(&ctx, option.entry, option.key, option.value);
                } catch (const tavrin::FFmpegException&) {
                    // A raised error is a valid answer; later options still run.
                }
            }
        }
    } catch (const tavrin::FFmpegException&) {
        // A raised error is a valid answer to bad input.
    }
    // What the maps selected must name streams of the opened inputs.
    for (const tavrin::StreamMap& map : ctx.stream_maps) {
        if (map.link_label.empty() &&
            (map.file_index < 0 || map.file_index >= 2 || map.stream_index < 0 ||
             map.stream_index >= task.input_files[map.file_index]->stream_count)) {
            std::abort();
        }
    }
    return 0;
}

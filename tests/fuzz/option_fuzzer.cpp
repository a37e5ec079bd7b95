// Feeds arbitrary bytes through the options-text tokenizer and the option
// splitter of a task, strict and non-strict, with the real FFmpeg libraries
// answering the options the table does not know. Any crash, leak or undefined
// behaviour found here is a fault of the option layer.
#include <dlfcn.h>
#include <link.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "media/options/ff_options.h"
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    if (!tavrin::FFLoader().LoadLibs(tavrin::AllLibs)) {
        std::fprintf(stderr, "option_fuzzer: cannot load the FFmpeg libraries: %s\n",
                     tavrin::FFLoader().LastErrorText().c_str());
        std::abort();
    }
    dl_iterate_phdr(&PinLibrary, nullptr);
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

    // One task for the whole run, one options context per input, as a task
    // parses one file after another.
    static tavrin::TCustomFFmpegOpt task;
    tavrin::OptionsContext ctx;
    tavrin::InitOptionsContext(task, ctx);
    try {
        task.Options().SplitOptions(&ctx, strict, "output file", tavrin::OptionTableOf(task),
                                    tokens);
    } catch (const tavrin::FFmpegException&) {
        // A raised error is a valid answer to bad input.
    }
    tavrin::ReleaseOptionsContext(task, ctx);
    return 0;
}

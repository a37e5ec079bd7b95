// The FFmpeg log callback: per-thread line assembly, context prefixes and the
// folding of repeated lines, then delivery through the process's logger.
#include <cstdio>
#include <cstring>
#include <forward_list>
#include <mutex>
#include <string>
#include <vector>

#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/logger.h"
#include "media/runtime/logger_in_use.h"

namespace tavrin {

namespace {

// The part of a line a thread has sent without its line feed yet.
struct TLogItem {
    std::uint32_t ThreadID;
    std::string Text;
};

struct LibraryLogState {
    // Guards everything below; never held while a line is delivered, so a
    // thread waiting for the main thread cannot block the main thread's own
    // library calls.
    std::mutex callback_lock;
    // One item per thread that has sent library messages, newest first; kept
    // for the life of the process.
    std::forward_list<TLogItem> items;
    std::string previous_message;
    int repeat_count = 0;
};

LibraryLogState& LibraryState() {
    static LibraryLogState state;
    return state;
}

TLogItem& ItemOfThread(LibraryLogState& state, std::uint32_t thread_id) {
    for (TLogItem& item : state.items) {
        if (item.ThreadID == thread_id) {
            return item;
        }
    }
    state.items.push_front(TLogItem{thread_id, {}});
    return state.items.front();
}

const char* ItemName(const AVClass* av_class, void* context) {
    if (av_class->item_name != nullptr) {
        return av_class->item_name(context);
    }
    return av_class->class_name != nullptr ? av_class->class_name : "";
}

// "[parent @ address] [name @ address]" for a logging context, into buffer;
// returns the length written.
std::size_t WriteContextPrefix(char* buffer, std::size_t size, void* context) {
    const AVClass* av_class = *static_cast<const AVClass* const*>(context);
    if (av_class == nullptr) {
        return 0;
    }
    std::size_t length = 0;
    const auto append = [&](const char* format, const char* name, const void* address) {
        if (length + 1 < size) {
            std::snprintf(buffer + length, size - length, format, name, address);
            length += std::strlen(buffer + length);
        }
    };
    if (av_class->parent_log_context_offset != 0) {
        void* parent_field = static_cast<char*>(context) + av_class->parent_log_context_offset;
        auto* parent = *static_cast<const AVClass***>(parent_field);
        if (parent != nullptr && *parent != nullptr) {
            append("[%s @ %p] ", ItemName(*parent, parent), parent);
        }
    }
    append("[%s @ %p]", ItemName(av_class, context), context);
    return length;
}

bool IsNullStringCall(const char* format, va_list args) {
    if (std::strcmp(format, "%s") != 0) {
        return false;
    }
    va_list copy;
    va_copy(copy, args);
    const char* argument = va_arg(copy, const char*);
    va_end(copy);
    return argument == nullptr;
}

// The message of one call: the context prefix when a new line starts, then
// the formatted pattern.
std::string BuildMessage(void* context, bool line_starts, const char* format, va_list args) {
    constexpr std::size_t kStackSize = 2048;
    char buffer[kStackSize] = {};
    const std::size_t prefix =
        context != nullptr && line_starts ? WriteContextPrefix(buffer, kStackSize, context) : 0;
    va_list copy;
    va_copy(copy, args);
    const int formatted = std::vsnprintf(buffer + prefix, kStackSize - prefix, format, copy);
    va_end(copy);
    if (formatted < 0) {
        return std::string(buffer, prefix);
    }
    const auto length = static_cast<std::size_t>(formatted);
    if (prefix + length < kStackSize) {
        return std::string(buffer, prefix + length);
    }
    // Too long for the stack: a heap buffer of prefix + 4097 bytes, grown in
    // steps of 2048 until the text fits.
    std::size_t size = prefix + 4097;
    while (size < prefix + length + 1) {
        size += 2048;
    }
    std::vector<char> heap(size);
    std::memcpy(heap.data(), buffer, prefix);
    va_copy(copy, args);
    std::vsnprintf(heap.data() + prefix, size - prefix, format, copy);
    va_end(copy);
    return std::string(heap.data(), prefix + length);
}

}  // namespace

namespace {

void HandleLibraryMessage(void* context, int library_level, const char* format, va_list args) {
    if (library_level >= 0) {
        library_level &= 0xff;  // the high bits carry colour hints
    }
    if (library_level > CurrentLibraryLevel() || format == nullptr) {
        return;
    }
    const LoggerInUse logger;
    if (!logger) {
        return;
    }
    LibraryLogState& state = LibraryState();
    std::vector<std::string> lines;
    std::uint32_t thread_id = 0;
    {
        std::lock_guard lock(state.callback_lock);
        if (logger->Muted()) {
            return;
        }
        TLogItem& item = ItemOfThread(state, LogThreadId());
        thread_id = item.ThreadID;
        // "%s" with a null argument carries no text: it only ends a run of
        // repeated lines (the engine sends one at the end of every task).
        const std::string message = IsNullStringCall(format, args)
                                        ? std::string()
                                        : BuildMessage(context, item.Text.empty(), format, args);
        if (!message.empty() && message.back() == '\n' && message == state.previous_message) {
            ++state.repeat_count;
            return;
        }
        if (state.repeat_count > 1) {
            char notice[64];
            std::snprintf(notice, sizeof notice, "    Last message repeated %d times",
                          state.repeat_count);
            lines.emplace_back(notice);
        }
        state.repeat_count = 0;
        state.previous_message = message;
        item.Text += message;
        for (std::size_t end = item.Text.find('\n'); end != std::string::npos;
             end = item.Text.find('\n')) {
            lines.push_back(item.Text.substr(0, end));
            item.Text.erase(0, end + 1);
        }
    }
    const TLogLevel level = LogLevelOfLibrary(library_level);
    for (const std::string& line : lines) {
        logger->EmitLibraryLine(thread_id, level, line);
    }
}

}  // namespace

void LibraryLogCallback(void* context, int library_level, const char* format, va_list args) {
    // Called from C code: nothing may unwind through it. A failing handler or
    // log file costs the library's line, not the process.
    try {
        HandleLibraryMessage(context, library_level, format, args);
    } catch (...) {
    }
}

void HookLibraryLog() {
    if (ff.av_log_set_callback == nullptr || ff.av_log_set_level == nullptr) {
        throw FFmpegException(
            "Cannot hook the library log: av_log_set_callback and av_log_set_level are not "
            "bound.");
    }
    ff.av_log_set_callback(&LibraryLogCallback);
    const LoggerInUse logger;
    if (logger) {
        logger->ApplyLevelToLibrary();
    }
}

}  // namespace tavrin

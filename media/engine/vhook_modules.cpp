#include "media/engine/vhook_modules.h"

#include <dlfcn.h>

#include <filesystem>
#include <map>
#include <mutex>

#include "media/runtime/dynamic_library.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/logger.h"

namespace tavrin {

namespace {

// Path to handle of every module loaded by any task; the modules stay loaded
// until the process ends, so that nodes of running tasks keep valid code.
class TLoadedHookModules {
public:
    // The module's handle, loading it at the first request; null with the
    // system's text in `error`.
    void* Get(const std::string& path, std::string& error) {
        const std::lock_guard<std::mutex> guard(mutex_);
        const auto found = modules_.find(path);
        if (found != modules_.end()) {
            return found->second.handle();
        }
        const std::filesystem::path file(path);
        DynamicLibrary module;
        if (file.has_parent_path()) {
            // The module's own folder comes first for its dependencies.
            std::string folder = file.parent_path().string();
            if (folder.back() != '/') {
                folder += '/';
            }
            module = DynamicLibrary::OpenFromFolder(folder, file.filename().string(), error);
        } else {
            module = DynamicLibrary::Open(path, error);
        }
        if (!module) {
            return nullptr;
        }
        void* handle = module.handle();
        modules_.emplace(path, std::move(module));
        return handle;
    }

private:
    std::mutex mutex_;
    std::map<std::string, DynamicLibrary> modules_;
};

TLoadedHookModules& LoadedHookModules() {
    // Process-wide, alive until the process ends.
    static TLoadedHookModules modules;
    return modules;
}

void LogLibraryError(const std::string& text) {
    ff.av_log(nullptr, AV_LOG_ERROR, "%s", text.c_str());
}

}  // namespace

std::vector<std::string> SplitVHookWords(const std::string& text) {
    const char separator = text.find('|') != std::string::npos ? '|' : ' ';
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string word = text.substr(start, end - start);
        if (separator == '|' || !word.empty()) {
            words.push_back(std::move(word));
        }
        start = end + 1;
    }
    return words;
}

int load_hook_module(const std::vector<std::string>& words, std::vector<THookModule>& modules) {
    if (words.empty() || words[0].empty()) {
        return -2;
    }
    const std::string& path = words[0];
    std::string error;
    void* handle = LoadedHookModules().Get(path, error);
    if (handle == nullptr) {
        LogLibraryError(error + "\n");
        return -1;
    }
    THookModule node;
    node.Configure = reinterpret_cast<TVHookConfigure>(dlsym(handle, "Configure"));
    node.Process = reinterpret_cast<TVHookProcess>(dlsym(handle, "Process"));
    node.Release = reinterpret_cast<TVHookRelease>(dlsym(handle, "Release"));
    if (node.Process == nullptr) {
        LogLibraryError("Failed to find Process entrypoint in " + path + "\n");
        return -2;
    }
    if (node.Configure == nullptr && words.size() > 1) {
        LogLibraryError("Failed to find Configure entrypoint in " + path + "\n");
        return -2;
    }
    if (node.Configure != nullptr) {
        // The module gets C strings it may keep for the call only.
        std::vector<std::string> copies(words);
        std::vector<char*> argv;
        for (std::string& word : copies) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        if (node.Configure(&node.PrivateData, static_cast<int>(words.size()), argv.data()) != 0) {
            LogLibraryError("Failed to Configure " + path + "\n");
            return AVERROR(EINVAL);
        }
    }
    modules.push_back(node);
    return 0;
}

int TCustomFFmpeg::OptVideoHook(const char* /*name*/, const char* argument) {
    return AddVideoHook(argument != nullptr ? argument : "");
}

int TCustomFFmpeg::AddVideoHook(const std::string& text) {
    std::vector<std::string> words = SplitVHookWords(text);
    if (words.size() > kMaxVHookWords) {
        LogFmt(this, llWarning, "-vhook takes at most %d words; the rest of \"%s\" is ignored",
               static_cast<int>(kMaxVHookWords), text.c_str());
        words.resize(kMaxVHookWords);
    }
    if (load_hook_module(words, hooks_->VideoHookModules) != 0) {
        RaiseError("Failed to add video hook function: " + text);
    }
    VideoHookModulesPresent = true;
    return 0;
}

}  // namespace tavrin

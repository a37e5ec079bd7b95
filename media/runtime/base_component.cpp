#include "media/runtime/base_component.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

namespace tavrin {

namespace {

std::int32_t DefaultTimeout() {
    return DebuggerAttached() ? 0 : kDefaultTimeoutMs;
}

}  // namespace

TFFBaseComponent::TFFBaseComponent()
    : timeout_(DefaultTimeout()), write_timeout_(DefaultTimeout()) {}

const std::string& TFFBaseComponent::Version() const {
    static const std::string version = "5.2";
    return version;
}

bool TracerPresentInStatus(std::string_view status_text) {
    constexpr std::string_view key = "TracerPid:";
    std::size_t at = 0;
    while (at < status_text.size()) {
        const std::size_t end = std::min(status_text.find('\n', at), status_text.size());
        std::string_view line = status_text.substr(at, end - at);
        at = end + 1;
        if (!line.starts_with(key)) {
            continue;
        }
        line.remove_prefix(key.size());
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        long pid = 0;
        const auto [ptr, ec] = std::from_chars(line.data(), line.data() + line.size(), pid);
        return ec == std::errc() && pid != 0;
    }
    return false;
}

bool DebuggerAttached() {
    static const bool attached = [] {
        std::ifstream status("/proc/self/status");
        if (!status) {
            return false;
        }
        std::ostringstream text;
        text << status.rdbuf();
        return TracerPresentInStatus(text.str());
    }();
    return attached;
}

}  // namespace tavrin

// The base of every media component: free text, the components' version and
// the I/O time-outs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrin {

class TFFBaseComponent {
public:
    TFFBaseComponent();
    virtual ~TFFBaseComponent() = default;
    TFFBaseComponent(const TFFBaseComponent&) = delete;
    TFFBaseComponent& operator=(const TFFBaseComponent&) = delete;

    // Free text, not used by the components.
    const std::string& About() const { return about_; }
    void SetAbout(std::string about) { about_ = std::move(about); }

    // Version text of the media components.
    const std::string& Version() const;

    // Time-out for connecting and reading, in milliseconds; 0 or less
    // switches it off.
    std::int32_t Timeout() const { return timeout_; }
    void SetTimeout(std::int32_t milliseconds) { timeout_ = milliseconds; }
    // Time-out for writing, in milliseconds; 0 or less switches it off.
    std::int32_t WriteTimeout() const { return write_timeout_; }
    void SetWriteTimeout(std::int32_t milliseconds) { write_timeout_ = milliseconds; }

private:
    std::string about_;
    std::int32_t timeout_;
    std::int32_t write_timeout_;
};

inline constexpr std::int32_t kDefaultTimeoutMs = 30000;

// Whether a debugger is attached; asked once per process (at the first
// component) and remembered. The time-outs default to 0 under a debugger so
// that stepping through code does not abort I/O.
bool DebuggerAttached();
// Reads the TracerPid line of a /proc/<pid>/status text; no line counts as no
// debugger.
bool TracerPresentInStatus(std::string_view status_text);

}  // namespace tavrin

// Ownership of one file descriptor.
#pragma once

#include <unistd.h>

#include <utility>

namespace tavrin {

// Owns one file descriptor and closes it when it goes; closing also
// releases a flock held through it.
class UniqueFd {
public:
    explicit UniqueFd(int descriptor = -1) : descriptor_(descriptor) {}
    ~UniqueFd() { Close(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Close();
            descriptor_ = std::exchange(other.descriptor_, -1);
        }
        return *this;
    }

    int Get() const { return descriptor_; }
    bool Valid() const { return descriptor_ >= 0; }
    // Closes now and reports whether the close succeeded (it can report a
    // delayed write error).
    bool Close() {
        const int descriptor = std::exchange(descriptor_, -1);
        return descriptor < 0 || ::close(descriptor) == 0;
    }

private:
    int descriptor_;
};

}  // namespace tavrin

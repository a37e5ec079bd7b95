#include "media/runtime/unicode_protocol.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tavrin {

namespace {

std::atomic<bool> protocol_registered{false};

constexpr int kReadFlag = 1;         // AVIO_FLAG_READ
constexpr int kWriteFlag = 2;        // AVIO_FLAG_WRITE
constexpr int kSeekSize = 0x10000;   // AVSEEK_SIZE
constexpr int kSeekForce = 0x20000;  // AVSEEK_FORCE, a hint we may ignore
constexpr int kOpenFailure = -2;     // AVERROR(ENOENT)

}  // namespace

bool RegisterUnicodeProtocol() {
    // Protocols are a fixed list inside avformat 59: it exports neither the
    // protocol walk nor a registration entry, and its protocol record is
    // private to each build. Names the code page cannot represent therefore
    // go to the library's own file protocol (see ToMediaFileName).
    protocol_registered.store(false);
    return false;
}

bool UnicodeProtocolRegistered() {
    return protocol_registered.load();
}

std::string StripUnicodeProtocolPrefix(std::string_view url) {
    for (int part = 0; part < 2; ++part) {
        const std::size_t colon = url.find(':');
        if (colon != std::string_view::npos) {
            url.remove_prefix(colon + 1);
        }
    }
    return std::string(url);
}

UnicodeFileContext::~UnicodeFileContext() {
    UnicodeFileClose(*this);
}

int UnicodeFileOpen(UnicodeFileContext& context, const char* url, int flags) {
    UnicodeFileClose(context);
    if (!url) {
        return kOpenFailure;
    }
    const std::string path = StripUnicodeProtocolPrefix(url);
    int mode = O_RDONLY;
    if ((flags & kWriteFlag) != 0) {
        mode = ((flags & kReadFlag) != 0 ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    }
    int handle;
    do {
        handle = ::open(path.c_str(), mode | O_CLOEXEC, 0666);
    } while (handle < 0 && errno == EINTR);
    if (handle < 0) {
        return kOpenFailure;
    }
    context.handle = handle;
    return 0;
}

int UnicodeFileRead(UnicodeFileContext& context, unsigned char* buffer, int size) {
    if (context.handle < 0 || size < 0) {
        return -1;
    }
    ssize_t got;
    do {
        got = ::read(context.handle, buffer, static_cast<std::size_t>(size));
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : static_cast<int>(got);
}

int UnicodeFileWrite(UnicodeFileContext& context, const unsigned char* buffer, int size) {
    if (context.handle < 0 || size < 0) {
        return -1;
    }
    int written = 0;
    while (written < size) {
        const ssize_t put =
            ::write(context.handle, buffer + written, static_cast<std::size_t>(size - written));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return -1;
        }
        written += static_cast<int>(put);
    }
    return written;
}

std::int64_t UnicodeFileSeek(UnicodeFileContext& context, std::int64_t position, int whence) {
    if (context.handle < 0) {
        return -1;
    }
    whence &= ~kSeekForce;
    if (whence == kSeekSize) {
        struct stat info {};
        return ::fstat(context.handle, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
    }
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
        return -1;
    }
    const off_t moved = ::lseek(context.handle, static_cast<off_t>(position), whence);
    return moved < 0 ? -1 : static_cast<std::int64_t>(moved);
}

int UnicodeFileClose(UnicodeFileContext& context) {
    if (context.handle < 0) {
        return 0;
    }
    const int result = ::close(context.handle);
    context.handle = -1;
    return result == 0 ? 0 : -1;
}

}  // namespace tavrin

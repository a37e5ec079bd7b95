// The "unicode" file protocol: file names the system code page cannot
// represent reach it as "unicode:utf8:" + the UTF-8 name. FFmpeg 5.1 exports
// no way to register a protocol, so registration reports false and such names
// are handed to the libraries' own file protocol instead; the operations are
// complete and usable on their own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrin {

inline constexpr char kUnicodeProtocolPrefix[] = "unicode:utf8:";

// Called by the loader after each successful request for avformat; true when
// the protocol is (or already was) registered with the library.
bool RegisterUnicodeProtocol();
// The result of the last registration; false until avformat is loaded.
bool UnicodeProtocolRegistered();

// The file name inside a protocol URL: the text after the first ":" and then
// after the next ":" (a part without ":" is kept), so "unicode:utf8:/a.png"
// gives "/a.png".
std::string StripUnicodeProtocolPrefix(std::string_view url);

// One open file of the protocol.
struct UnicodeFileContext {
    UnicodeFileContext() = default;
    ~UnicodeFileContext();
    UnicodeFileContext(const UnicodeFileContext&) = delete;
    UnicodeFileContext& operator=(const UnicodeFileContext&) = delete;

    int handle = -1;
};

// flags as the media libraries pass them (AVIO_FLAG_READ 1, AVIO_FLAG_WRITE
// 2). Reading opens an existing file and never truncates it; writing (alone or
// with reading) creates or truncates it. 0 on success, -2 (AVERROR(ENOENT))
// on any failure.
int UnicodeFileOpen(UnicodeFileContext& context, const char* url, int flags);
// Bytes read, 0 at the end of the file, -1 on failure.
int UnicodeFileRead(UnicodeFileContext& context, unsigned char* buffer, int size);
// Bytes written, -1 on failure.
int UnicodeFileWrite(UnicodeFileContext& context, const unsigned char* buffer, int size);
// whence 0, 1, 2 (from the start, the current position, the end): the new
// position; 0x10000 (AVSEEK_SIZE): the file size, without moving; -1 on
// failure.
std::int64_t UnicodeFileSeek(UnicodeFileContext& context, std::int64_t position, int whence);
// Releases the file; 0, or -1 when closing failed.
int UnicodeFileClose(UnicodeFileContext& context);

}  // namespace tavrin

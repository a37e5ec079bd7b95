// File names handed to and read back from the media libraries, and the
// "unicode" protocol's file operations.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures/media_fixtures.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/media_file_name.h"
#include "media/runtime/unicode_protocol.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUtf8 = "UTF-8";
constexpr const char* kLatin1 = "ISO-8859-1";
constexpr const char* kAscii = "ANSI_X3.4-1968";  // the C locale's set

TEST(MediaFileName, ConversionTable) {
    const std::string long_video = "/" + std::string(2042, 'v') + ".mp4";  // 2047 bytes
    const std::string too_long_video = "/" + long_video;                   // 2048 bytes
    // 2042 bytes: they fit as they are, but not with the protocol prefix.
    const std::string long_image = "/" + std::string(2025, 'i') + "снимок.png";
    struct Case {
        std::string name;
        const char* charset;
        bool registered;  // the "unicode" protocol is there
        bool image;
        bool needs_protocol;
        std::string media;  // handed to the libraries; "!" = refused as too long
        std::string back;   // FromMediaFileName(media)
    };
    const std::vector<Case> cases = {
        // Video names go over as UTF-8, whatever they hold.
        {"/home/ana/clip.mp4", kUtf8, false, false, false, "/home/ana/clip.mp4",
         "/home/ana/clip.mp4"},
        {"/home/ана/клип.mp4", kLatin1, true, false, true, "/home/ана/клип.mp4",
         "/home/ана/клип.mp4"},
        // Image names the code page represents go over in the code page.
        {"/tmp/café.png", kLatin1, true, true, false, "/tmp/caf\xE9.png", "/tmp/café.png"},
        {"/tmp/u.JPG", kAscii, true, true, false, "/tmp/u.JPG", "/tmp/u.JPG"},
        // Image names it cannot represent go to the protocol when it is there...
        {"/tmp/снимок.PNG", kLatin1, true, true, true, "unicode:utf8:/tmp/снимок.PNG",
         "/tmp/снимок.PNG"},
        {"/tmp/ü.jpeg", kAscii, true, true, true, "unicode:utf8:/tmp/ü.jpeg", "/tmp/ü.jpeg"},
        // ...and otherwise as UTF-8, never as a lossy conversion.
        {"/tmp/снимок.png", kLatin1, false, true, true, "/tmp/снимок.png", "/tmp/снимок.png"},
        {"/tmp/\xFF.png", kUtf8, false, true, true, "/tmp/\xFF.png", "/tmp/\xFF.png"},
        // UTF-8 as the code page represents every valid name.
        {"/tmp/снимок.png", kUtf8, true, true, false, "/tmp/снимок.png", "/tmp/снимок.png"},
        // URLs of the listed protocols never get the prefix; others may.
        {"http://host/снимок.png", kLatin1, true, true, false, "http://host/снимок.png",
         "http://host/снимок.png"},
        {"udp://239.0.0.1:1234/снимок.png", kLatin1, true, true, false,
         "udp://239.0.0.1:1234/снимок.png", "udp://239.0.0.1:1234/снимок.png"},
        {"UDP://host/снимок.png", kLatin1, true, true, true, "unicode:utf8:UDP://host/снимок.png",
         "UDP://host/снимок.png"},
        {":/снимок.png", kLatin1, true, true, true, "unicode:utf8::/снимок.png", ":/снимок.png"},
        // The extension decides, without regard to case, after the last dot.
        {"/tmp/frames/README", kUtf8, true, false, false, "/tmp/frames/README",
         "/tmp/frames/README"},
        {"/tmp/v1.0/notes", kLatin1, true, false, false, "/tmp/v1.0/notes", "/tmp/v1.0/notes"},
        {"/tmp/still.tiff.mp4", kLatin1, true, false, false, "/tmp/still.tiff.mp4",
         "/tmp/still.tiff.mp4"},
        {"/tmp/shot.MPG4-IMG", kAscii, true, true, false, "/tmp/shot.MPG4-IMG",
         "/tmp/shot.MPG4-IMG"},
        // Converted names stop at 2047 bytes, with the prefix counted.
        {long_video, kUtf8, false, false, false, long_video, long_video},
        {too_long_video, kUtf8, false, false, false, "!", ""},
        {long_image, kLatin1, false, true, true, long_image, long_image},
        {long_image, kLatin1, true, true, true, "!", ""},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name.substr(0, 40) + " in " + test.charset +
                     (test.registered ? ", protocol registered" : ""));
        const CodePage code_page(test.charset);
        const MediaNameRules rules{code_page, test.registered};
        EXPECT_EQ(IsImageFileName(test.name), test.image);
        EXPECT_EQ(NeedsUnicodeProtocol(test.name, code_page), test.needs_protocol);
        if (test.media == "!") {
            EXPECT_THROW(ToMediaFileName(test.name, rules), FFmpegException);
            continue;
        }
        const std::string media = ToMediaFileName(test.name, rules);
        EXPECT_EQ(media, test.media);
        EXPECT_EQ(FromMediaFileName(media, rules), test.back);
    }
}

TEST(MediaFileName, PrefixIsOnlyStrippedWhenTheProtocolIsRegistered) {
    const CodePage utf8(kUtf8);
    const std::string name = "unicode:utf8:/tmp/a.png";
    EXPECT_EQ(FromMediaFileName(name, MediaNameRules{utf8, true}), "/tmp/a.png");
    EXPECT_EQ(FromMediaFileName(name, MediaNameRules{utf8, false}), name);
    // Exactly the prefix (not an image name either) stays as it is.
    EXPECT_EQ(FromMediaFileName("unicode:utf8:", MediaNameRules{utf8, true}), "unicode:utf8:");
}

TEST(MediaFileName, ProtocolIsNotRegisteredWithThisLibraryGeneration) {
    EXPECT_FALSE(RegisterUnicodeProtocol());
    EXPECT_FALSE(UnicodeProtocolRegistered());
    // So the names of this process never carry the prefix.
    EXPECT_EQ(ToMediaFileName("/tmp/снимок.png").rfind("/tmp/", 0), 0u);
}

std::string ReadFile(const fs::path& file) {
    std::ifstream input(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(input), {});
}

TEST(UnicodeProtocol, FileOperations) {
    testing::TempDir dir;
    const fs::path image = dir / "кадр 01.png";
    const std::string url = kUnicodeProtocolPrefix + image.string();
    std::ofstream(image, std::ios::binary) << "0123456789";
    UnicodeFileContext context;
    unsigned char buffer[16] = {};

    EXPECT_EQ(UnicodeFileOpen(context, (url + ".missing").c_str(), 1), -2);
    EXPECT_EQ(UnicodeFileRead(context, buffer, 4), -1) << "nothing is open";

    // Reading leaves the file as it is.
    ASSERT_EQ(UnicodeFileOpen(context, url.c_str(), 1), 0);
    EXPECT_EQ(fs::file_size(image), 10u);
    EXPECT_EQ(UnicodeFileRead(context, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, buffer + 4), "0123");
    EXPECT_EQ(UnicodeFileSeek(context, 0, 0x10000), 10);
    EXPECT_EQ(UnicodeFileSeek(context, 0, SEEK_CUR), 4) << "the size query moved the file";
    EXPECT_EQ(UnicodeFileSeek(context, -3, SEEK_END), 7);
    EXPECT_EQ(UnicodeFileRead(context, buffer, 16), 3);
    EXPECT_EQ(UnicodeFileRead(context, buffer, 16), 0) << "end of file";
    EXPECT_EQ(UnicodeFileSeek(context, 0, 7), -1) << "unknown whence";
    EXPECT_EQ(UnicodeFileWrite(context, buffer, 1), -1) << "opened for reading only";
    EXPECT_EQ(UnicodeFileClose(context), 0);
    EXPECT_EQ(ReadFile(image), "0123456789");

    // Writing truncates an existing file; reading and writing creates one.
    ASSERT_EQ(UnicodeFileOpen(context, url.c_str(), 2), 0);
    EXPECT_EQ(fs::file_size(image), 0u);
    EXPECT_EQ(UnicodeFileWrite(context, reinterpret_cast<const unsigned char*>("ab"), 2), 2);
    EXPECT_EQ(UnicodeFileClose(context), 0);
    EXPECT_EQ(ReadFile(image), "ab");

    const fs::path created = dir / "новый.png";
    ASSERT_EQ(UnicodeFileOpen(context, (kUnicodeProtocolPrefix + created.string()).c_str(), 3), 0);
    EXPECT_EQ(UnicodeFileWrite(context, reinterpret_cast<const unsigned char*>("xyz"), 3), 3);
    EXPECT_EQ(UnicodeFileSeek(context, 0, SEEK_SET), 0);
    EXPECT_EQ(UnicodeFileRead(context, buffer, 16), 3);
    EXPECT_EQ(std::string(buffer, buffer + 3), "xyz");
    // The context releases its file on its own as well.
}

}  // namespace
}  // namespace tavrin

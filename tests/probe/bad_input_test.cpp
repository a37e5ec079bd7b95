// Inputs that cannot be opened: each gives false, a clear LastErrorText and a
// decoder with nothing open that still works afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>

#include "probe/probe_test_support.h"

namespace tavrin::testing {
namespace {

class BadInputTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadDecoderLibraries(); }

    void ExpectNothingOpen() {
        EXPECT_EQ(decoder_.FormatContext(), nullptr);
        EXPECT_EQ(decoder_.StreamCount(), -1);
        EXPECT_EQ(decoder_.FileSize(), -1);
        EXPECT_EQ(decoder_.FormatName(), "");
    }

    TempDir dir_;
    LogCapture log_;
    TVEVarazez decoder_;
};

TEST_F(BadInputTest, UnreadableFilesFailWithTheirNameAndReason) {
    const auto good = MakeShortMp4(dir_);
    const auto truncated = dir_ / "truncated.mp4";
    {
        std::ifstream in(good, std::ios::binary);
        std::string head(static_cast<size_t>(std::filesystem::file_size(good) / 2), '\0');
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        std::ofstream(truncated, std::ios::binary) << head;
    }
    const auto empty = dir_ / "empty.mp4";
    std::ofstream(empty).close();
    const auto noise = dir_ / "noise.bin";
    {
        std::mt19937 random(20261209);
        std::string bytes(8192, '\0');
        for (char& byte : bytes) {
            byte = static_cast<char>(random() & 0xFF);
        }
        std::ofstream(noise, std::ios::binary) << bytes;
    }
    const auto folder = dir_ / "folder.mp4";
    std::filesystem::create_directory(folder);

    struct Case {
        std::filesystem::path path;
        const char* reason;
    };
    const Case cases[] = {
        {truncated, "Invalid data found when processing input"},
        {empty, "Invalid data found when processing input"},
        {noise, "Invalid data found when processing input"},
        {folder, "Is a directory"},
        {dir_ / "missing.mp4", "No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        // Open a good file first: a failed open must close it.
        ASSERT_TRUE(decoder_.LoadFile(good.string()));
        EXPECT_FALSE(decoder_.LoadFile(c.path.string()));
        EXPECT_EQ(decoder_.LastErrorText(), c.path.string() + ": " + c.reason);
        ExpectNothingOpen();
    }
    // Nothing was left half-open: the decoder opens the next file normally.
    ASSERT_TRUE(decoder_.LoadFile(good.string())) << decoder_.LastErrorText();
    EXPECT_EQ(decoder_.StreamCount(), 2);
}

TEST_F(BadInputTest, SilentNetworkPeerTimesOut) {
    SilentTcpPeer peer;
    decoder_.SetTimeout(300);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(decoder_.LoadFile(peer.Url()));
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(decoder_.LastErrorText(), peer.Url() + ": connecting/reading timeout");
    EXPECT_TRUE(log_.Has(&decoder_, llInfo, "connecting/reading timeout"));
    EXPECT_EQ(log_.Count("connecting/reading timeout"), 1);
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(10));
    ExpectNothingOpen();
}

TEST_F(BadInputTest, PeerThatStallsWhileProbingTimesOut) {
    // A transport stream whose header arrives but whose packets stop coming:
    // the open succeeds and probing waits for the rest.
    const auto source = MakeShortMp4(dir_);
    const auto file = dir_ / "stream.ts";
    RunFfmpeg("-i " + ShellQuote(source.string()) + " -map 0 -c copy " + ShellQuote(file.string()));
    std::ifstream in(file, std::ios::binary);
    std::string head(188 * 40, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));

    StallingTcpPeer peer(head);
    decoder_.SetTimeout(400);
    bool probing = false;
    decoder_.OnBeforeFindStreamInfo = [&](TCustomDecoder*, AVFormatContext*) { probing = true; };
    const auto started = std::chrono::steady_clock::now();
    // Interrupted probing ends with what it found so far: the library keeps
    // the streams whose headers arrived.
    EXPECT_TRUE(decoder_.LoadFile(peer.Url())) << decoder_.LastErrorText();
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(probing) << "the open itself should have succeeded";
    EXPECT_EQ(log_.Count("connecting/reading timeout"), 1);
    EXPECT_GE(waited, std::chrono::milliseconds(400));
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_EQ(decoder_.StreamCount(), 2);
    EXPECT_EQ(decoder_.FileSize(), 0) << "a network input has no size";
    decoder_.CloseFile();
    ExpectNothingOpen();
}

}  // namespace
}  // namespace tavrin::testing

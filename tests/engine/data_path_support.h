// A one-stream output for data-path tests: a task whose only output file is
// the "framecrc" muxer writing into memory, so that every packet the engine
// writes can be read back as a line "stream, dts, pts, duration, size, crc".
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "media/engine/pipeline.h"
#include "media/runtime/loader.h"

namespace tavrin::testing {

struct WrittenPacket {
    std::int64_t dts = 0;
    std::int64_t pts = 0;
    int size = 0;
};

class MemoryOutput {
public:
    // An output stream of `type` with the time base `tb`; video streams get
    // an opened raw video encoder (16x16 gray, codec time base `tb`).
    MemoryOutput(AVMediaType type, AVRational tb, bool encode = false) {
        if (!FFLoader().LibrarySetLoaded(EncoderLibs)) {
            EXPECT_TRUE(FFLoader().LoadLibs(EncoderLibs));
        }
        AVFormatContext* raw = nullptr;
        EXPECT_GE(ff.avformat_alloc_output_context2(&raw, nullptr, "framecrc", nullptr), 0);
        auto file = std::make_unique<OutputFile>();
        file->ctx.reset(raw);
        EXPECT_GE(ff.avio_open_dyn_buf(&raw->pb), 0);

        auto ost = std::make_unique<OutputStream>();
        ost->stream = ff.avformat_new_stream(raw, nullptr);
        ost->stream->time_base = tb;
        ost->stream->codecpar->codec_type = type;
        if (type == AVMEDIA_TYPE_VIDEO) {
            ost->stream->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
            ost->stream->codecpar->width = 16;
            ost->stream->codecpar->height = 16;
            ost->stream->codecpar->format = AV_PIX_FMT_GRAY8;
        } else {
            ost->stream->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
            ost->stream->codecpar->sample_rate = 8000;
            ff.av_channel_layout_default(&ost->stream->codecpar->ch_layout, 1);
        }
        if (encode) {
            ost->encoder = ff.avcodec_find_encoder(AV_CODEC_ID_RAWVIDEO);
            ost->codec_ctx.reset(ff.avcodec_alloc_context3(ost->encoder));
            AVCodecContext* enc = ost->codec_ctx.get();
            enc->width = 16;
            enc->height = 16;
            enc->pix_fmt = AV_PIX_FMT_GRAY8;
            enc->time_base = tb;
            EXPECT_GE(ff.avcodec_open2(enc, ost->encoder, nullptr), 0);
            ost->needs_encoding = 1;
            ost->frame_rate = av_inv_q(tb);
        } else {
            ost->stream_copy = 1;
        }
        EXPECT_GE(ff.avformat_write_header(raw, nullptr), 0);
        task_.output_files.push_back(std::move(file));
        task_.output_streams.push_back(std::move(ost));
        set_active_streams(task_);
    }

    ~MemoryOutput() {
        AVFormatContext* ctx = task_.output_files[0]->ctx.get();
        std::uint8_t* buffer = nullptr;
        ff.avio_close_dyn_buf(ctx->pb, &buffer);
        ctx->pb = nullptr;
        ff.av_free(buffer);
    }

    TCustomFFmpegOpt& Task() { return task_; }
    OutputStream& Stream() { return *task_.output_streams[0]; }
    AVFormatContext* Muxer() { return task_.output_files[0]->ctx.get(); }

    // Ends the file and returns every packet line the muxer wrote.
    std::vector<WrittenPacket> Finish() {
        AVFormatContext* ctx = Muxer();
        ff.av_write_trailer(ctx);
        std::uint8_t* buffer = nullptr;
        const int size = ff.avio_close_dyn_buf(ctx->pb, &buffer);
        ctx->pb = nullptr;
        const std::string text(reinterpret_cast<const char*>(buffer),
                               static_cast<std::size_t>(size));
        ff.av_free(buffer);
        // Reopen so that the destructor finds a buffer to close.
        ff.avio_open_dyn_buf(&ctx->pb);

        std::vector<WrittenPacket> packets;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.empty() || line[0] == '#') {
                continue;
            }
            WrittenPacket packet;
            char comma = 0;
            int stream = 0;
            std::int64_t duration = 0;
            std::istringstream fields(line);
            fields >> stream >> comma >> packet.dts >> comma >> packet.pts >> comma >> duration >>
                comma >> packet.size;
            packets.push_back(packet);
        }
        return packets;
    }

private:
    TCustomFFmpegOpt task_;
};

}  // namespace tavrin::testing

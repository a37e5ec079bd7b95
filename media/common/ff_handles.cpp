#include "media/common/ff_handles.h"

#include "media/runtime/ff_api.h"

namespace tavrin {

void FormatInputDeleter::operator()(AVFormatContext* ctx) const {
    if (ctx != nullptr && ff.avformat_close_input != nullptr) {
        ff.avformat_close_input(&ctx);
    }
}

void FormatOutputDeleter::operator()(AVFormatContext* ctx) const {
    if (ctx == nullptr || ff.avformat_free_context == nullptr) {
        return;
    }
    if (ctx->oformat != nullptr && (ctx->oformat->flags & AVFMT_NOFILE) == 0 &&
        ff.avio_closep != nullptr) {
        ff.avio_closep(&ctx->pb);
    }
    ff.avformat_free_context(ctx);
}

void CodecContextDeleter::operator()(AVCodecContext* ctx) const {
    if (ctx != nullptr && ff.avcodec_free_context != nullptr) {
        ff.avcodec_free_context(&ctx);
    }
}

void FrameDeleter::operator()(AVFrame* frame) const {
    if (frame != nullptr && ff.av_frame_free != nullptr) {
        ff.av_frame_free(&frame);
    }
}

void DictionaryDeleter::operator()(AVDictionary* dict) const {
    if (dict != nullptr && ff.av_dict_free != nullptr) {
        ff.av_dict_free(&dict);
    }
}

void FilterGraphDeleter::operator()(AVFilterGraph* graph) const {
    if (graph != nullptr && ff.avfilter_graph_free != nullptr) {
        ff.avfilter_graph_free(&graph);
    }
}

void FilterInOutDeleter::operator()(AVFilterInOut* inout) const {
    if (inout != nullptr && ff.avfilter_inout_free != nullptr) {
        ff.avfilter_inout_free(&inout);
    }
}

void IOContextDeleter::operator()(AVIOContext* io) const {
    if (io != nullptr && ff.avio_closep != nullptr) {
        ff.avio_closep(&io);
    }
}

void BsfContextDeleter::operator()(AVBSFContext* bsf) const {
    if (bsf != nullptr && ff.av_bsf_free != nullptr) {
        ff.av_bsf_free(&bsf);
    }
}

void ExprDeleter::operator()(AVExpr* expr) const {
    if (expr != nullptr && ff.av_expr_free != nullptr) {
        ff.av_expr_free(expr);
    }
}

void StdioFileDeleter::operator()(std::FILE* file) const {
    if (file != nullptr) {
        std::fclose(file);
    }
}

void Dictionary::Reset(AVDictionary* dict) {
    if (dict_ != nullptr && dict_ != dict) {
        DictionaryDeleter{}(dict_);
    }
    dict_ = dict;
}

void ResamplerDeleter::operator()(SwrContext* swr) const {
    if (swr != nullptr && ff.swr_free != nullptr) {
        ff.swr_free(&swr);
    }
}

void ScalerDeleter::operator()(SwsContext* context) const {
    if (context != nullptr && ff.sws_freeContext != nullptr) {
        ff.sws_freeContext(context);
    }
}

void LibraryBufferDeleter::operator()(std::uint8_t* buffer) const {
    if (buffer != nullptr && ff.av_free != nullptr) {
        ff.av_free(buffer);
    }
}

void PacketDeleter::operator()(AVPacket* packet) const {
    if (packet != nullptr && ff.av_packet_free != nullptr) {
        ff.av_packet_free(&packet);
    }
}

}  // namespace tavrin

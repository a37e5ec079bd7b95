// Owning pointers for the media libraries' handles, one deleter per handle
// type, used by every subsystem. Each deleter tolerates an unloaded library
// (the entry is then null and nothing is called) so that a late cleanup
// never jumps through a cleared table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "media/runtime/ff_headers.h"

namespace tavrin {

struct FormatInputDeleter {
    void operator()(AVFormatContext* ctx) const;  // avformat_close_input
};
struct FormatOutputDeleter {
    void operator()(AVFormatContext* ctx) const;  // closes pb, frees the context
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* ctx) const;
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const;
};
struct DictionaryDeleter {
    void operator()(AVDictionary* dict) const;
};
struct FilterGraphDeleter {
    void operator()(AVFilterGraph* graph) const;
};
struct FilterInOutDeleter {
    void operator()(AVFilterInOut* inout) const;
};
struct IOContextDeleter {
    void operator()(AVIOContext* io) const;  // avio_closep
};
struct BsfContextDeleter {
    void operator()(AVBSFContext* bsf) const;
};
struct ExprDeleter {
    void operator()(AVExpr* expr) const;
};
struct StdioFileDeleter {
    void operator()(std::FILE* file) const;
};
struct ResamplerDeleter {
    void operator()(SwrContext* swr) const;
};
struct ScalerDeleter {
    void operator()(SwsContext* context) const;
};
// A buffer of the libraries' allocator (av_malloc, av_image_alloc).
struct LibraryBufferDeleter {
    void operator()(std::uint8_t* buffer) const;
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const;  // av_packet_free
};

using InputFormatContextPtr = std::unique_ptr<AVFormatContext, FormatInputDeleter>;
using OutputFormatContextPtr = std::unique_ptr<AVFormatContext, FormatOutputDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;
using FilterInOutPtr = std::unique_ptr<AVFilterInOut, FilterInOutDeleter>;
using IOContextPtr = std::unique_ptr<AVIOContext, IOContextDeleter>;
using BsfContextPtr = std::unique_ptr<AVBSFContext, BsfContextDeleter>;
using ExprPtr = std::unique_ptr<AVExpr, ExprDeleter>;
using StdioFilePtr = std::unique_ptr<std::FILE, StdioFileDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;
using LibraryBufferPtr = std::unique_ptr<std::uint8_t, LibraryBufferDeleter>;

// A dictionary of the libraries that frees itself. The libraries' calls take
// the address of the raw pointer, which `Address()` hands out.
class Dictionary {
public:
    Dictionary() = default;
    ~Dictionary() { Reset(); }
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;
    Dictionary(Dictionary&& other) noexcept : dict_(other.Release()) {}
    Dictionary& operator=(Dictionary&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    AVDictionary* Get() const { return dict_; }
    AVDictionary** Address() { return &dict_; }
    AVDictionary* Release() {
        AVDictionary* dict = dict_;
        dict_ = nullptr;
        return dict;
    }
    void Reset(AVDictionary* dict = nullptr);

private:
    AVDictionary* dict_ = nullptr;
};

}  // namespace tavrin

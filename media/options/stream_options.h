// Codec options per stream: which of a file's codec options apply to the
// encoder or decoder of one stream.
#pragma once

#include <cstddef>
#include <vector>

#include "media/runtime/ff_headers.h"

namespace tavrin {

// 1 when the stream matches the specifier, 0 when not, negative when the
// specifier is invalid.
int CheckStreamSpecifier(AVFormatContext* s, AVStream* st, const char* spec);

// A new dictionary (owned by the caller, may be null when empty) with the
// options that apply to the stream's encoder (output context) or decoder
// (input context). `codec` may be null: the registered one for codec_id is
// used then. A stream without a known codec gets the options the generic
// codec class knows. An invalid stream specifier in a key gives null.
AVDictionary* FilterCodecOptions(const AVDictionary* opts, AVCodecID codec_id, AVFormatContext* s,
                                 AVStream* st, const AVCodec* codec);

// One dictionary per stream of a context, as avformat_find_stream_info takes
// them; owns the dictionaries.
class StreamDictionaries {
public:
    StreamDictionaries() = default;
    explicit StreamDictionaries(std::size_t count) : dicts_(count, nullptr) {}
    ~StreamDictionaries();
    StreamDictionaries(StreamDictionaries&& other) noexcept;
    StreamDictionaries& operator=(StreamDictionaries&& other) noexcept;
    StreamDictionaries(const StreamDictionaries&) = delete;
    StreamDictionaries& operator=(const StreamDictionaries&) = delete;

    bool empty() const { return dicts_.empty(); }
    std::size_t size() const { return dicts_.size(); }
    // Null when empty ("none").
    AVDictionary** data() { return dicts_.empty() ? nullptr : dicts_.data(); }
    AVDictionary*& operator[](std::size_t i) { return dicts_[i]; }

private:
    void FreeAll();
    std::vector<AVDictionary*> dicts_;
};

// One filtered dictionary per stream of the context (decoder side for an
// input); empty for a context without streams.
StreamDictionaries StreamInfoOptions(AVFormatContext* s, const AVDictionary* codec_opts);

}  // namespace tavrin

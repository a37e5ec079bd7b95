#include "media/options/stream_options.h"

#include <new>
#include <string>
#include <utility>

#include "media/runtime/ff_api.h"
#include "media/runtime/logger.h"

namespace tavrin {

namespace {

bool ClassKnows(const AVClass* av_class, const char* key, int flags) {
    if (av_class == nullptr) {
        return false;
    }
    const AVClass* search = av_class;
    return ff.av_opt_find(&search, key, nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}

}  // namespace

int CheckStreamSpecifier(AVFormatContext* s, AVStream* st, const char* spec) {
    const int result = ff.avformat_match_stream_specifier(s, st, spec);
    if (result < 0) {
        LogFmt(nullptr, llError, "Invalid stream specifier: %s.\n", spec);
    }
    return result;
}

AVDictionary* FilterCodecOptions(const AVDictionary* opts, AVCodecID codec_id, AVFormatContext* s,
                                 AVStream* st, const AVCodec* codec) {
    const bool output = s->oformat != nullptr;
    int flags = output ? AV_OPT_FLAG_ENCODING_PARAM : AV_OPT_FLAG_DECODING_PARAM;
    char type_letter = 0;
    if (codec == nullptr) {
        codec = output ? ff.avcodec_find_encoder(codec_id) : ff.avcodec_find_decoder(codec_id);
    }
    switch (st->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO:
            type_letter = 'v';
            flags |= AV_OPT_FLAG_VIDEO_PARAM;
            break;
        case AVMEDIA_TYPE_AUDIO:
            type_letter = 'a';
            flags |= AV_OPT_FLAG_AUDIO_PARAM;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            type_letter = 's';
            flags |= AV_OPT_FLAG_SUBTITLE_PARAM;
            break;
        default:
            break;
    }

    const AVClass* codec_class = ff.avcodec_get_class();
    AVDictionary* result = nullptr;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = ff.av_dict_get(opts, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        std::string key = entry->key;
        const std::size_t colon = key.find(':');
        if (colon != std::string::npos) {
            const int match = CheckStreamSpecifier(s, st, key.c_str() + colon + 1);
            if (match < 0) {
                ff.av_dict_free(&result);
                return nullptr;
            }
            if (match == 0) {
                continue;
            }
            key.resize(colon);
        }
        // A stream whose codec no registered coder handles still gets the
        // generic codec options; only private options need the codec.
        if (ClassKnows(codec_class, key.c_str(), flags) ||
            (codec != nullptr && ClassKnows(codec->priv_class, key.c_str(), flags))) {
            ff.av_dict_set(&result, key.c_str(), entry->value, 0);
        } else if (type_letter != 0 && key.size() > 1 && key[0] == type_letter &&
                   ClassKnows(codec_class, key.c_str() + 1, flags)) {
            ff.av_dict_set(&result, key.c_str() + 1, entry->value, 0);
        }
    }
    return result;
}

StreamDictionaries::~StreamDictionaries() {
    FreeAll();
}

StreamDictionaries::StreamDictionaries(StreamDictionaries&& other) noexcept
    : dicts_(std::move(other.dicts_)) {
    other.dicts_.clear();
}

StreamDictionaries& StreamDictionaries::operator=(StreamDictionaries&& other) noexcept {
    if (this != &other) {
        FreeAll();
        dicts_ = std::move(other.dicts_);
        other.dicts_.clear();
    }
    return *this;
}

void StreamDictionaries::FreeAll() {
    for (AVDictionary*& dict : dicts_) {
        if (dict != nullptr && ff.av_dict_free != nullptr) {
            ff.av_dict_free(&dict);
        }
    }
    dicts_.clear();
}

StreamDictionaries StreamInfoOptions(AVFormatContext* s, const AVDictionary* codec_opts) {
    if (s == nullptr || s->nb_streams == 0) {
        return {};
    }
    StreamDictionaries dicts;
    try {
        dicts = StreamDictionaries(s->nb_streams);
    } catch (const std::bad_alloc&) {
        LogFmt(nullptr, llError, "Could not alloc memory for stream options.\n");
        return {};
    }
    for (unsigned i = 0; i < s->nb_streams; ++i) {
        dicts[i] = FilterCodecOptions(codec_opts, s->streams[i]->codecpar->codec_id, s,
                                      s->streams[i], nullptr);
    }
    return dicts;
}

}  // namespace tavrin

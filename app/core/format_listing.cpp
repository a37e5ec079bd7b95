#include "app/core/format_listing.h"

#include <sstream>

#include "app/core/choice_lists.h"
#include "app/core/format_presets.h"
#include "media/runtime/ff_api.h"

namespace tavrin {

std::string LastOptionValue(const std::string& options, std::string_view option) {
    std::istringstream words(options);
    std::string word;
    std::string value;
    while (words >> word) {
        if (word == option && words >> word) {
            value = word;
        }
    }
    return value;
}

namespace {

std::string EncoderOf(const AVOutputFormat* format, std::string_view fileName, AVMediaType type) {
    const AVCodecID id =
        ff.av_guess_codec(format, nullptr, std::string(fileName).c_str(), nullptr, type);
    if (id == AV_CODEC_ID_NONE) {
        return {};
    }
    if (const AVCodec* encoder = ff.avcodec_find_encoder(id)) {
        return encoder->name;
    }
    return ff.avcodec_get_name(id);
}

}  // namespace

std::vector<TFormatCodecs> DescribeFormats(const EncoderTest& hasEncoder,
                                           const ContainerLookup& container) {
    std::vector<TFormatCodecs> described;
    const auto names = FormatNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        TOutputChoices choices;
        choices.FormatIndex = static_cast<int>(i);
        choices.UseVideoQuality = false;
        const auto options = BuildFinalOutputOptions(choices, 0, hasEncoder);
        const TFormatPreset* preset = FindFormatPreset(names[i]);
        TFormatCodecs codecs;
        codecs.Name = names[i];
        if (IsOriginalFormat(names[i])) {
            // Decided per video: its own container, or Matroska.
            codecs.Container = "own/mkv";
            codecs.VideoCodec = "copy";
            codecs.AudioCodec = "to suit";
            codecs.VideoEncoderFound = true;
            codecs.AudioEncoderFound = true;
            described.push_back(std::move(codecs));
            continue;
        }
        if (options && preset != nullptr) {
            const TContainerFacts facts =
                container(LastOptionValue(*options, "-f"), "output" + OutputSuffix(*preset));
            codecs.Container = facts.Muxer;
            codecs.VideoCodec = LastOptionValue(*options, "-c:v");
            codecs.AudioCodec = LastOptionValue(*options, "-c:a");
            codecs.VideoCodec = codecs.VideoCodec.empty() ? facts.DefaultVideo : codecs.VideoCodec;
            codecs.AudioCodec = codecs.AudioCodec.empty() ? facts.DefaultAudio : codecs.AudioCodec;
        }
        codecs.VideoEncoderFound = !codecs.VideoCodec.empty() && hasEncoder(codecs.VideoCodec);
        codecs.AudioEncoderFound = !codecs.AudioCodec.empty() && hasEncoder(codecs.AudioCodec);
        described.push_back(std::move(codecs));
    }
    return described;
}

TContainerFacts LibraryContainerFacts(std::string_view forcedFormat, std::string_view fileName) {
    const std::string forced(forcedFormat);
    const std::string name(fileName);
    const AVOutputFormat* format =
        ff.av_guess_format(forced.empty() ? nullptr : forced.c_str(), name.c_str(), nullptr);
    if (format == nullptr) {
        return {};
    }
    return {format->name, EncoderOf(format, fileName, AVMEDIA_TYPE_VIDEO),
            EncoderOf(format, fileName, AVMEDIA_TYPE_AUDIO)};
}

bool LibraryHasEncoder(std::string_view encoderName) {
    return ff.avcodec_find_encoder_by_name(std::string(encoderName).c_str()) != nullptr;
}

bool LibraryMuxerCarries(std::string_view muxer, std::string_view videoCodec,
                         std::string_view audioEncoder) {
    const AVOutputFormat* format = ff.av_guess_format(std::string(muxer).c_str(), nullptr, nullptr);
    const AVCodecDescriptor* video =
        ff.avcodec_descriptor_get_by_name(std::string(videoCodec).c_str());
    const AVCodec* audio = ff.avcodec_find_encoder_by_name(std::string(audioEncoder).c_str());
    if (format == nullptr || video == nullptr || audio == nullptr) {
        return false;
    }
    // 1 yes, 0 no, negative: the muxer does not know.
    return ff.avformat_query_codec(format, video->id, FF_COMPLIANCE_NORMAL) != 0 &&
           ff.avformat_query_codec(format, audio->id, FF_COMPLIANCE_NORMAL) != 0;
}

}  // namespace tavrin

#include "app/core/merge_plan.h"

#include <limits>

#include "app/core/choice_lists.h"
#include "app/core/format_presets.h"
#include "app/core/output_file_name.h"
#include "app/core/path_text.h"

namespace tavrin {

namespace {

constexpr std::int64_t kMicrosecondsPerMillisecond = 1000;
constexpr std::int64_t kMillisecondsPerSecond = 1000;

// Milliseconds as seconds for " -t ": "5.96", "0.2", "20".
std::string SecondsText(std::int64_t milliseconds) {
    std::string text = std::to_string(milliseconds / kMillisecondsPerSecond);
    if (const std::int64_t fraction = milliseconds % kMillisecondsPerSecond; fraction != 0) {
        std::string digits = std::to_string(fraction);
        digits.insert(0, 3 - digits.size(), '0');
        digits.erase(digits.find_last_not_of('0') + 1);
        text += "." + digits;
    }
    return text;
}

std::string AudioCodecOf(const TFormatPreset& preset, const EncoderTest& hasEncoder) {
    switch (preset.AudioRule) {
        case TAudioCodecRule::Aac:
            return DefaultAacEncoder(hasEncoder);
        case TAudioCodecRule::AacWithoutAmrNb:
            if (hasEncoder && hasEncoder("libopencore_amrnb")) {
                return {};
            }
            return DefaultAacEncoder(hasEncoder);
        case TAudioCodecRule::Fixed:
            break;
    }
    return std::string(preset.AudioCodec);
}

const TFormatPreset* SelectedPreset(int formatIndex) {
    return FindFormatPreset(FormatNameAt(formatIndex));
}

}  // namespace

void AddOption(std::string& options, std::string_view text) {
    options += ' ';
    options += text;
}

std::string DefaultAacEncoder(const EncoderTest& hasEncoder) {
    return hasEncoder && hasEncoder("libfaac") ? "libfaac" : "aac";
}

std::optional<std::string> BuildFinalOutputOptions(const TOutputChoices& choices,
                                                   int firstVideoStreamIndex,
                                                   const EncoderTest& hasEncoder,
                                                   int firstAudioStreamIndex) {
    const TFormatPreset* preset = SelectedPreset(choices.FormatIndex);
    if (preset == nullptr) {
        return std::nullopt;
    }
    std::string options;
    for (const auto extra : preset->ExtraOptions) {
        if (!extra.empty()) {
            AddOption(options, extra);
        }
    }
    if (!preset->Channels.empty()) {
        AddOption(options, "-ac " + std::string(preset->Channels));
    }
    if (!preset->SampleRate.empty()) {
        AddOption(options, "-ar " + std::string(preset->SampleRate));
    }
    if (!preset->FrameRate.empty()) {
        AddOption(options, "-r " + std::string(preset->FrameRate));
    }
    std::string audioCodec = AudioCodecOf(*preset, hasEncoder);
    if (audioCodec == "mp3") {
        audioCodec = "libmp3lame";
    }
    if (!audioCodec.empty()) {
        AddOption(options, "-c:a " + audioCodec);
    }
    if (audioCodec == "aac") {
        AddOption(options, "-astrict experimental");
    }
    if (preset->VideoCodec == "libx264") {
        AddOption(options, " -pix_fmt yuv420p ");
    }
    if (!preset->VideoCodec.empty()) {
        AddOption(options, "-c:v " + std::string(preset->VideoCodec));
    }

    // The 3GP list has no "Auto - Original" entry, so its first entry is a size too.
    const auto sizes = FrameSizeNames(preset->Name);
    const int size = ListSelection(sizes.size(), choices.FrameSizeIndex);
    const int firstSize = IsThreeGpFormat(preset->Name) ? 0 : 1;
    if (size >= firstSize) {
        const std::string_view entry = sizes[static_cast<std::size_t>(size)];
        AddOption(options, " -s " + std::string(entry.substr(0, entry.find(' '))));
    }

    const int quality = ListSelection(QualityNames().size(), choices.QualityIndex);
    if (choices.UseVideoQuality && quality >= 0) {
        std::string text = " -qscale " + std::to_string(quality);
        if (choices.ProcessorCount >= 2) {
            text += " -threads " + std::to_string(choices.ProcessorCount);
        }
        AddOption(options, text);
    }

    AddOption(options, "-map 0:" + std::to_string(firstVideoStreamIndex) +
                           " -map 1:" + std::to_string(firstAudioStreamIndex));
    return options;
}

std::optional<std::string> FinalOutputSuffix(int formatIndex) {
    const TFormatPreset* preset = SelectedPreset(formatIndex);
    if (preset == nullptr) {
        return std::nullopt;
    }
    return OutputSuffix(*preset);
}

std::optional<TJoinOutput> BuildJoinOutputOptions(std::int64_t videoDuration,
                                                  std::span<const std::int64_t> audioDurations) {
    if (audioDurations.empty()) {
        return std::nullopt;
    }
    // Saturating: a damaged file may report a duration near the 64-bit limit.
    std::int64_t total = 0;
    for (const std::int64_t duration : audioDurations) {
        if (duration > 0) {
            total = duration > std::numeric_limits<std::int64_t>::max() - total
                        ? std::numeric_limits<std::int64_t>::max()
                        : total + duration;
        }
    }
    const bool longerThanVideo = videoDuration >= 0 && total > videoDuration;
    const bool several = audioDurations.size() > 1;
    if (!longerThanVideo && !several) {
        return std::nullopt;
    }
    TJoinOutput join;
    if (longerThanVideo) {
        // Whole seconds would cut a 5.96 s video's sound to 5 s, and a video
        // shorter than a second to nothing.
        join.Options = " -t " + SecondsText(videoDuration / kMicrosecondsPerMillisecond);
    }
    join.Options += " -c:a libmp3lame ";
    join.Options += " -ac 2 -ab 128000 -ar 44100 ";
    // Sound only: a cover picture or a video given as a song would otherwise
    // become a picture stream of the temporary file.
    join.Options += " -vn";
    join.Join = several;
    return join;
}

std::string TempAudioFileName(std::string_view outputFolder, std::string_view firstAudioFile) {
    return NameAt(TempAudioPattern(outputFolder, firstAudioFile), 0,
                  FileNameLimit(std::string(outputFolder)));
}

std::optional<TMergePlan> PlanMerge(const TMergeRequest& request, const EncoderTest& hasEncoder,
                                    std::string* errorText) {
    // The join writes sound only, so its file's audio is stream 0.
    std::vector<std::int64_t> durations;
    durations.reserve(request.AudioFiles.size());
    for (const auto& audio : request.AudioFiles) {
        durations.push_back(audio.Duration);
    }
    auto join = BuildJoinOutputOptions(request.VideoDuration, durations);
    const int audioStream =
        join || request.AudioFiles.empty() ? 0 : request.AudioFiles[0].FirstAudioStreamIndex;

    auto options = BuildFinalOutputOptions(request.Choices, request.FirstVideoStreamIndex,
                                           hasEncoder, audioStream);
    auto suffix = FinalOutputSuffix(request.Choices.FormatIndex);
    if (!options || !suffix) {
        if (errorText != nullptr) {
            *errorText = "No output format is selected.";
        }
        return std::nullopt;
    }

    TMergePlan plan;
    plan.FinalOptions = std::move(*options);
    plan.OutputSuffix = std::move(*suffix);

    plan.JoinOutput = std::move(join);
    if (plan.JoinOutput) {
        plan.TempAudioFile =
            *FreeFileName(TempAudioPattern(request.OutputFolder, request.AudioFiles.front().Path),
                          TNameUse::Propose);
        plan.AudioInput = plan.TempAudioFile;
    } else if (!request.AudioFiles.empty()) {
        plan.AudioInput = request.AudioFiles[0].Path;
    }
    return plan;
}

}  // namespace tavrin

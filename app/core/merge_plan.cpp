#include "app/core/merge_plan.h"

#include <algorithm>
#include <limits>

#include "app/core/choice_lists.h"
#include "app/core/format_presets.h"
#include "app/core/original_format.h"
#include "app/core/output_file_name.h"
#include "app/core/path_text.h"

namespace tavrin {

namespace {

constexpr std::int64_t kMicrosecondsPerMillisecond = 1000;
constexpr std::int64_t kMillisecondsPerSecond = 1000;
// A join of more inputs than this would open as many files at once; songs
// that short repeat only as far as this goes.
constexpr std::size_t kMaxJoinInputs = 1000;

// Thousandths as a decimal: milliseconds as seconds for " -t " ("5.96", "0.2",
// "20"), or a volume factor.
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

// Saturating: a damaged file may report a duration near the 64-bit limit.
// Unknown (negative) durations count as 0.
std::int64_t TotalDuration(std::span<const std::int64_t> durations) {
    std::int64_t total = 0;
    for (const std::int64_t duration : durations) {
        if (duration > 0) {
            total = duration > std::numeric_limits<std::int64_t>::max() - total
                        ? std::numeric_limits<std::int64_t>::max()
                        : total + duration;
        }
    }
    return total;
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

namespace {

// The preset's options up to the map; nullopt when no preset is selected.
std::optional<std::string> PresetOptions(const TOutputChoices& choices,
                                         const EncoderTest& hasEncoder) {
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
    return options;
}

std::string MapOptions(int firstVideoStreamIndex, const std::string& audio) {
    return "-map 0:" + std::to_string(firstVideoStreamIndex) + " -map " + audio;
}

}  // namespace

std::optional<std::string> BuildFinalOutputOptions(const TOutputChoices& choices,
                                                   int firstVideoStreamIndex,
                                                   const EncoderTest& hasEncoder,
                                                   int firstAudioStreamIndex) {
    auto options = PresetOptions(choices, hasEncoder);
    if (options) {
        AddOption(*options,
                  MapOptions(firstVideoStreamIndex, "1:" + std::to_string(firstAudioStreamIndex)));
    }
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
                                                  std::span<const std::int64_t> audioDurations,
                                                  TJoinCodec codec) {
    if (audioDurations.empty()) {
        return std::nullopt;
    }
    const std::int64_t total = TotalDuration(audioDurations);
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
    if (codec == TJoinCodec::Pcm) {
        join.Options += " -c:a pcm_s16le  -ac 2 -ar 44100  -vn -f wav";
        join.FileSuffix = ".wav";
        join.Join = several;
        return join;
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

namespace {

// How often the list plays: once, or with "Repeat songs" as often as it takes
// to reach the video's end.
int RepeatPasses(const TMergeRequest& request, std::int64_t total,
                 std::vector<std::string>& notes) {
    if (!request.Choices.RepeatSongs || request.AudioFiles.empty()) {
        return 1;
    }
    if (request.VideoDuration < 0) {
        notes.push_back("Repeat songs: the video's length is unknown, so the songs play once.");
        return 1;
    }
    if (total <= 0) {
        notes.push_back("Repeat songs: the songs have no length, so they play once.");
        return 1;
    }
    if (total >= request.VideoDuration) {
        return 1;
    }
    const std::int64_t needed = (request.VideoDuration + total - 1) / total;
    const std::int64_t most = std::max<std::int64_t>(
        1, static_cast<std::int64_t>(kMaxJoinInputs / request.AudioFiles.size()));
    if (needed > most) {
        notes.push_back("Repeat songs: the songs play " + std::to_string(most) +
                        " times, the most one join takes (" + std::to_string(kMaxJoinInputs) +
                        " files); the rest of the video has no songs.");
        return static_cast<int>(most);
    }
    return static_cast<int>(needed);
}

// Whether the video's own sound is mixed in, with a note when it cannot be.
bool MixesVideoSound(const TMergeRequest& request, std::vector<std::string>& notes) {
    if (request.Choices.VideoSoundPercent <= 0) {
        return false;
    }
    if (request.Video.FirstAudioStreamIndex < 0) {
        notes.push_back("Video sound: the video has no sound of its own; the songs play alone.");
        return false;
    }
    if (!request.Video.SoundDecodable) {
        notes.push_back(
            "Video sound: the video's own sound cannot be decoded; the songs play alone.");
        return false;
    }
    return true;
}

// "afade=..." over the last seconds of the merged sound, which ends at
// soundEnd (microseconds, negative when unknown); "" without a fade.
std::string FadeFilter(int fadeSeconds, std::int64_t soundEnd, std::vector<std::string>& notes) {
    if (fadeSeconds <= 0) {
        return {};
    }
    if (soundEnd <= 0) {
        notes.push_back(
            "Fade out: the length of the merged sound is unknown, so it does not fade.");
        return {};
    }
    const std::int64_t end = soundEnd / kMicrosecondsPerMillisecond;
    std::int64_t fade = fadeSeconds * kMillisecondsPerSecond;
    if (fade > end) {
        notes.push_back("Fade out: the sound is shorter than the fade, so all of it fades.");
        fade = end;
    }
    return "afade=t=out:st=" + SecondsText(end - fade) + ":d=" + SecondsText(fade) + ":curve=qua";
}

// Where the merged sound ends: the video's end when its own sound runs
// under the songs, else the end of the songs as played, cut to the video.
std::int64_t SoundEnd(const TMergeRequest& request, std::int64_t played, bool videoSound) {
    if (videoSound) {
        return request.VideoDuration;
    }
    if (played <= 0) {
        return -1;
    }
    return request.VideoDuration >= 0 ? std::min(played, request.VideoDuration) : played;
}

// The options of "Original" up to the sound choices and the map.
std::string OriginalOptions(const TOriginalOutput& output) {
    std::string options;
    AddOption(options, "-f " + output.Muxer);
    AddOption(options, "-c:v copy");
    AddOption(options, "-c:a " + output.AudioEncoder);
    if (output.AudioEncoder == "aac") {
        AddOption(options, "-astrict experimental");
    }
    return options;
}

// The fade and the video's sound as a filter of the final task's sound, and
// the map: audio input stream audioStream under, or with, the video's own.
void AddSoundAndMap(std::string& options, const TMergeRequest& request, std::int64_t played,
                    int audioStream, std::vector<std::string>& notes) {
    const TOutputChoices& choices = request.Choices;
    const std::string songs = "1:" + std::to_string(audioStream);
    const bool videoSound = !request.AudioFiles.empty() && MixesVideoSound(request, notes);
    const std::string fade =
        request.AudioFiles.empty()
            ? std::string()
            : FadeFilter(choices.FadeOutSeconds, SoundEnd(request, played, videoSound), notes);
    if (videoSound) {
        // normalize=0: amix would otherwise halve the songs while both play.
        const int percent = std::min(choices.VideoSoundPercent, kMaxVideoSoundPercent);
        AddOption(options,
                  "-filter_complex [0:" + std::to_string(request.Video.FirstAudioStreamIndex) +
                      "]volume=" + SecondsText(percent * 10) + "[videosound];[" + songs +
                      "][videosound]amix=inputs=2:duration=longest:normalize=0" +
                      (fade.empty() ? "" : "," + fade) + "[sound]");
        AddOption(options, MapOptions(request.FirstVideoStreamIndex, "[sound]"));
        return;
    }
    if (!fade.empty()) {
        AddOption(options, "-af " + fade);
    }
    AddOption(options, MapOptions(request.FirstVideoStreamIndex, songs));
}

}  // namespace

std::optional<TMergePlan> PlanMerge(const TMergeRequest& request, const EncoderTest& hasEncoder,
                                    std::string* errorText, const MuxerTest& muxerCarries) {
    std::string error;
    const auto refuse = [&](std::string reason) -> std::optional<TMergePlan> {
        if (errorText != nullptr) {
            *errorText = std::move(reason);
        }
        return std::nullopt;
    };
    const bool original = IsOriginalFormat(FormatNameAt(request.Choices.FormatIndex));
    std::vector<std::string> notes;

    std::vector<std::int64_t> durations;
    durations.reserve(request.AudioFiles.size());
    for (const auto& audio : request.AudioFiles) {
        durations.push_back(audio.Duration);
    }
    // The list as the join plays it: once, or repeated.
    const int passes = RepeatPasses(request, TotalDuration(durations), notes);
    std::vector<std::int64_t> played;
    for (int pass = 0; pass < passes; ++pass) {
        played.insert(played.end(), durations.begin(), durations.end());
    }
    auto join = BuildJoinOutputOptions(request.VideoDuration, played,
                                       original ? TJoinCodec::Pcm : TJoinCodec::Mp3);
    if (join) {
        join->Passes = passes;
    }
    // The join writes sound only, so its file's audio is stream 0.
    const int audioStream =
        join || request.AudioFiles.empty() ? 0 : request.AudioFiles[0].FirstAudioStreamIndex;

    std::optional<std::string> options;
    std::optional<std::string> suffix;
    if (original) {
        std::string note;
        const auto output =
            ChooseOriginalOutput(request.Video.ContainerName, request.VideoFile,
                                 request.Video.VideoCodec, hasEncoder, muxerCarries, note, error);
        if (!output) {
            return refuse(error);
        }
        if (!note.empty()) {
            notes.push_back(note);
        }
        options = OriginalOptions(*output);
        suffix = output->Suffix;
    } else {
        options = PresetOptions(request.Choices, hasEncoder);
        suffix = FinalOutputSuffix(request.Choices.FormatIndex);
    }
    if (!options || !suffix) {
        return refuse("No output format is selected.");
    }
    // Without a join the final task hears the first file only.
    const std::int64_t sound = join                ? TotalDuration(played)
                               : durations.empty() ? 0
                                                   : TotalDuration(std::span(durations).first(1));
    AddSoundAndMap(*options, request, sound, audioStream, notes);

    TMergePlan plan;
    plan.FinalOptions = std::move(*options);
    plan.OutputSuffix = std::move(*suffix);
    plan.Notes = std::move(notes);

    plan.JoinOutput = std::move(join);
    if (plan.JoinOutput) {
        plan.TempAudioFile =
            *FreeFileName(TempAudioPattern(request.OutputFolder, request.AudioFiles.front().Path,
                                           plan.JoinOutput->FileSuffix),
                          TNameUse::Propose);
        plan.AudioInput = plan.TempAudioFile;
    } else if (!request.AudioFiles.empty()) {
        plan.AudioInput = request.AudioFiles[0].Path;
    }
    return plan;
}

}  // namespace tavrin

// The plan of a merge: from a video, an ordered list of audio files and the
// user's choices to the option texts and file names of the audio join task
// and the final task. No media work happens here; the facts about the files
// (durations, the video stream index, which encoders exist) come from the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin {

// Tells whether the media library has an encoder of the given name.
using EncoderTest = std::function<bool(std::string_view encoderName)>;
// Tells whether a muxer ("mp4", "matroska") can carry a copied video stream
// of the codec ("h264") together with sound from the audio encoder ("aac").
using MuxerTest = std::function<bool(std::string_view muxer, std::string_view videoCodec,
                                     std::string_view audioEncoder)>;

// The ranges of the merge choices; 0 is off.
inline constexpr int kMaxFadeOutSeconds = 10;
inline constexpr int kMaxVideoSoundPercent = 100;

// Appends one blank and the text, verbatim, to the options being built.
void AddOption(std::string& options, std::string_view text);

// "libfaac" when the encoder test finds it, else "aac".
std::string DefaultAacEncoder(const EncoderTest& hasEncoder);

// The user's choices for the final task, as positions in the choice lists;
// -1 means that no entry is selected.
struct TOutputChoices {
    int FormatIndex = 0;
    int FrameSizeIndex = 0;  // position in the frame-size list of that format
    int QualityIndex = 0;
    bool UseVideoQuality = true;
    int ProcessorCount = 1;
    // The last seconds of the merged sound fade to silence; 0 to kMaxFadeOutSeconds.
    int FadeOutSeconds = 0;
    // Songs shorter in total than the video play again, in order, to its end.
    bool RepeatSongs = false;
    // The video's own sound under the songs at this volume; 0 to
    // kMaxVideoSoundPercent.
    int VideoSoundPercent = 0;
};

// Output options of the final task, ending with the map of stream
// firstVideoStreamIndex of the video input and stream firstAudioStreamIndex
// of the audio input; nullopt when no format is selected.
std::optional<std::string> BuildFinalOutputOptions(const TOutputChoices& choices,
                                                   int firstVideoStreamIndex,
                                                   const EncoderTest& hasEncoder,
                                                   int firstAudioStreamIndex = 0);

// The ending of the output file name of the selected format; nullopt when no
// format is selected.
std::optional<std::string> FinalOutputSuffix(int formatIndex);

struct TJoinOutput {
    std::string Options;  // output options of the join task
    bool Join = false;    // the inputs are played one after another into the output
    // How often the listed files are added to the join, in list order (more
    // than once when the songs repeat).
    int Passes = 1;
    std::string FileSuffix = ".mp3";  // of the temporary file
};

// What the join writes: MP3 for the presets, which encode the sound again;
// 16-bit PCM in WAV for "Original", so the songs are encoded once, by the
// final task.
enum class TJoinCodec { Mp3, Pcm };

// The join decision. Several files are always joined (every listed file
// reaches the output), cut with " -t " to the video's length in milliseconds
// only when they are longer than the video; a single file is joined (to be
// cut) only when it is longer than the video, and used directly otherwise
// (nullopt).
// Durations are microseconds; a negative one is unknown: an unknown video
// length never cuts, an unknown audio length counts as 0.
std::optional<TJoinOutput> BuildJoinOutputOptions(std::int64_t videoDuration,
                                                  std::span<const std::int64_t> audioDurations,
                                                  TJoinCodec codec = TJoinCodec::Mp3);

// outputFolder + "/tempaudio-" + the first audio file's name without its
// extension + ".mp3" (the name shortened when it would not fit the folder's
// file system).
std::string TempAudioFileName(std::string_view outputFolder, std::string_view firstAudioFile);

// Everything a merge needs to know about its files and the user's choices.
struct TMergeAudioFile {
    std::string Path;
    std::int64_t Duration = -1;  // microseconds, -1 unknown
    // Index of the file's first audio stream (a cover picture or a video
    // stream may come first); -1 when it has none.
    int FirstAudioStreamIndex = 0;
};

// What "Original" and "Video sound" need to know of the video file.
struct TVideoFacts {
    std::string ContainerName;  // the demuxer's name, "mov,mp4,m4a,3gp,3g2,mj2"
    std::string VideoCodec;     // of the first video stream, "h264"
    int FirstAudioStreamIndex = -1;
    bool SoundDecodable = false;  // a decoder exists for that stream
};

struct TMergeRequest {
    std::string VideoFile;
    std::int64_t VideoDuration = -1;  // microseconds, -1 unknown
    int FirstVideoStreamIndex = -1;
    TVideoFacts Video;
    std::vector<TMergeAudioFile> AudioFiles;  // in list order
    TOutputChoices Choices;
    std::string OutputFolder;
};

// The two tasks of a merge. The output path itself is the first free name of
// MergeOutputPattern(output folder, video, AudioInput, OutputSuffix), taken
// when the final task is set up (output_file_name.h).
struct TMergePlan {
    std::optional<TJoinOutput> JoinOutput;  // set when the join task runs
    std::string TempAudioFile;              // the join's output; "" without a join
    std::string AudioInput;                 // audio input of the final task
    std::string FinalOptions;
    std::string OutputSuffix;
    // Lines for the log: what the choices could not do as asked, and why.
    std::vector<std::string> Notes;
};

// The plan of a request; nullopt with the reason in errorText when no format
// is selected or the video cannot be copied into any container. Without a
// muxer test every container is taken to carry every codec. The temporary file is the first free
// name of TempAudioPattern
// ("tempaudio-<name>.mp3", then "tempaudio-<name>_(1).mp3", ...); the merge
// creates it under that rule, so a name taken meanwhile moves it on.
std::optional<TMergePlan> PlanMerge(const TMergeRequest& request, const EncoderTest& hasEncoder,
                                    std::string* errorText = nullptr,
                                    const MuxerTest& muxerCarries = {});

}  // namespace tavrin

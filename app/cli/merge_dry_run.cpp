#include "app/cli/merge_dry_run.h"

#include "app/cli/json_writer.h"
#include "app/core/choice_lists.h"
#include "app/core/duration_text.h"
#include "app/core/join_reason.h"

namespace tavrin::cli {

namespace {

// Unknown durations are shown as zero in the text (and null in JSON).
std::string DurationText(std::int64_t duration) {
    return FormatDuration(duration < 0 ? 0 : duration);
}

const char* SourceKey(TChoiceSource source) {
    switch (source) {
        case TChoiceSource::CommandLine:
            return "command line";
        case TChoiceSource::Settings:
            return "settings";
        case TChoiceSource::Default:
            break;
    }
    return "default";
}

void AddLine(std::string& text, const std::string& name, const std::string& value) {
    text += name + ": " + value + "\n";
}

void Duration(JsonWriter& json, std::int64_t duration) {
    json.Key("duration_us");
    if (duration < 0) {
        json.Null();
    } else {
        json.Integer(duration);
    }
    json.Key("duration").String(DurationText(duration));
}

void Choice(JsonWriter& json, const std::string& name, TChoiceSource source) {
    json.BeginObject().Key("name");
    if (name.empty()) {
        json.Null();
    } else {
        json.String(name);
    }
    json.Key("source").String(SourceKey(source)).EndObject();
}

}  // namespace

std::string MergeChoicesText(const TOutputChoices& choices) {
    std::string text;
    const auto add = [&text](const std::string& part) {
        text += (text.empty() ? "" : ", ") + part;
    };
    if (choices.FadeOutSeconds > 0) {
        add("fade out " + std::to_string(choices.FadeOutSeconds) + " s");
    }
    if (choices.RepeatSongs) {
        add("repeat songs");
    }
    if (choices.VideoSoundPercent > 0) {
        add("video sound " + std::to_string(choices.VideoSoundPercent) + " %");
    }
    return text;
}

std::string ChoicesLine(const ShownChoices& choices) {
    const std::string extras = choices.MergeChoices.empty() ? "" : "; " + choices.MergeChoices;
    if (IsOriginalFormat(choices.Format)) {
        return "format " + choices.Format + " (" +
               ChoiceSourceText(choices.FormatSource, "--format", choices.SettingsFile) +
               "), the video copied at its own size and quality" + extras;
    }
    return "format " + choices.Format + " (" +
           ChoiceSourceText(choices.FormatSource, "--format", choices.SettingsFile) +
           "), frame size " + (choices.FrameSize.empty() ? "none" : choices.FrameSize) + " (" +
           ChoiceSourceText(choices.FrameSizeSource, "--size", choices.SettingsFile) + ")" + extras;
}

std::string DryRunText(const TMergePreview& preview, const ShownChoices& choices) {
    const TMergeRequest& request = preview.Request;
    const TMergePlan& plan = preview.Plan;
    std::string text;
    AddLine(text, "choices", ChoicesLine(choices));
    AddLine(text, "video",
            request.VideoFile + " (" + DurationText(request.VideoDuration) + ", video stream " +
                std::to_string(request.FirstVideoStreamIndex) + ")");
    for (const auto& audio : request.AudioFiles) {
        AddLine(text, "audio",
                audio.Path + " (" + DurationText(audio.Duration) + ", audio stream " +
                    std::to_string(audio.FirstAudioStreamIndex) + ")");
    }
    AddLine(text, "join", plan.JoinOutput ? "yes" : "no");
    AddLine(text, "join reason", JoinReason(request, plan));
    if (plan.JoinOutput) {
        AddLine(text, "join options", plan.JoinOutput->Options);
        AddLine(text, "join flag", plan.JoinOutput->Join ? "set" : "not set");
        if (plan.JoinOutput->Passes > 1) {
            AddLine(text, "join passes", std::to_string(plan.JoinOutput->Passes));
        }
        AddLine(text, "temporary file", plan.TempAudioFile);
    }
    AddLine(text, "audio input", plan.AudioInput);
    AddLine(text, "final options", plan.FinalOptions);
    AddLine(text, "output file", preview.OutputFile);
    for (const auto& note : plan.Notes) {
        AddLine(text, "note", note);
    }
    return text;
}

std::string DryRunJson(const TMergePreview& preview, const ShownChoices& choices) {
    const TMergeRequest& request = preview.Request;
    const TMergePlan& plan = preview.Plan;
    JsonWriter json;
    json.BeginObject();
    json.Key("format");
    Choice(json, choices.Format, choices.FormatSource);
    json.Key("frame_size");
    Choice(json, choices.FrameSize, choices.FrameSizeSource);
    json.Key("fade_out_s").Integer(request.Choices.FadeOutSeconds);
    json.Key("repeat_songs").Bool(request.Choices.RepeatSongs);
    json.Key("video_sound_percent").Integer(request.Choices.VideoSoundPercent);
    json.Key("video").BeginObject().Key("path").String(request.VideoFile);
    Duration(json, request.VideoDuration);
    json.Key("video_stream").Integer(request.FirstVideoStreamIndex).EndObject();
    json.Key("audio").BeginArray();
    for (const auto& audio : request.AudioFiles) {
        json.BeginObject().Key("path").String(audio.Path);
        Duration(json, audio.Duration);
        json.Key("audio_stream").Integer(audio.FirstAudioStreamIndex).EndObject();
    }
    json.EndArray();
    json.Key("join").BeginObject().Key("runs").Bool(plan.JoinOutput.has_value());
    json.Key("reason").String(JoinReason(request, plan));
    json.Key("options");
    if (plan.JoinOutput) {
        json.String(plan.JoinOutput->Options);
    } else {
        json.Null();
    }
    json.Key("join_flag").Bool(plan.JoinOutput && plan.JoinOutput->Join);
    json.Key("passes").Integer(plan.JoinOutput ? plan.JoinOutput->Passes : 1);
    json.Key("temporary_file");
    if (plan.JoinOutput) {
        json.String(plan.TempAudioFile);
    } else {
        json.Null();
    }
    json.EndObject();
    json.Key("audio_input").String(plan.AudioInput);
    json.Key("final_options").String(plan.FinalOptions);
    json.Key("output_file").String(preview.OutputFile);
    json.Key("notes").BeginArray();
    for (const auto& note : plan.Notes) {
        json.String(note);
    }
    json.EndArray();
    json.EndObject();
    return json.Text() + "\n";
}

}  // namespace tavrin::cli

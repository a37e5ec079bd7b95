#include "app/core/join_reason.h"

namespace tavrin {

std::string JoinReason(const TMergeRequest& request, const TMergePlan& plan) {
    const bool several = request.AudioFiles.size() > 1;
    const bool unknownVideo = request.VideoDuration < 0;
    if (!plan.JoinOutput) {
        return unknownVideo ? "the video's length is unknown, so the audio file is used directly"
                            : "the audio file is not longer than the video, so it is used directly";
    }
    if (plan.JoinOutput->Passes > 1) {
        return "the songs are shorter than the video: played " +
               std::to_string(plan.JoinOutput->Passes) + " times and cut to the video's length";
    }
    // The join cuts exactly when the audio is longer than the video.
    const bool cut = plan.JoinOutput->Options.rfind(" -t ", 0) == 0;
    if (cut) {
        return several ? "the audio files are longer than the video together: joined and cut to "
                         "the video's length"
                       : "the audio file is longer than the video: cut to the video's length";
    }
    return unknownVideo ? "several audio files are always joined; the video's length is unknown, "
                          "so nothing is cut"
                        : "several audio files are always joined; together they are not longer "
                          "than the video, so nothing is cut";
}

}  // namespace tavrin

// How often a filtered video frame is written: the frame's time against the
// output frame counter, per synchronisation method.
#include <cmath>

#include "media/engine/pipeline.h"

namespace tavrin {

int ResolveVideoSyncMethod(int method, int output_format_flags) {
    if (method != -1) {
        return method;
    }
    if ((output_format_flags & AVFMT_VARIABLE_FPS) != 0) {
        return (output_format_flags & AVFMT_NOTIMESTAMPS) != 0 ? 0 : 2;
    }
    return 1;
}

VideoSyncDecision DecideVideoSync(int method, double sync_ipts, std::int64_t output_counter,
                                  double duration) {
    VideoSyncDecision decision;
    decision.output_counter = output_counter;
    const double delta = sync_ipts - static_cast<double>(output_counter) + duration;
    switch (method) {
        case 0:    // passthrough
        case 255:  // drop: stamps are removed when muxing
            decision.output_counter = std::llrint(sync_ipts);
            break;
        case 1:  // constant rate: drop what is early, repeat to fill gaps
            if (delta < -1.1) {
                decision.nb_frames = 0;
            } else if (delta > 1.1) {
                decision.nb_frames = std::llrint(delta);
            }
            break;
        case 2:  // variable rate: never repeat, follow the frame's time
            if (delta <= -0.6) {
                decision.nb_frames = 0;
            } else if (delta > 0.6) {
                decision.output_counter = std::llrint(sync_ipts);
            }
            break;
        default:
            decision.unknown_method = true;
            break;
    }
    return decision;
}

}  // namespace tavrin

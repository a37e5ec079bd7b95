// Why a plan joins the audio files or uses one directly, in words, for the
// dry run of tavrin-merge.
#pragma once

#include <string>

#include "app/core/merge_plan.h"

namespace tavrin {

std::string JoinReason(const TMergeRequest& request, const TMergePlan& plan);

}  // namespace tavrin

// The plan of a merge as tavrin-merge --dry-run shows it: lines for a person,
// or one JSON object for a script. Both are made from the same values.
#pragma once

#include <string>

#include "app/core/format_choice.h"
#include "app/core/merge_job.h"

namespace tavrin::cli {

// The format and frame size the plan uses, and where each came from.
struct ShownChoices {
    std::string Format;
    TChoiceSource FormatSource = TChoiceSource::Default;
    std::string FrameSize;  // the entry's text; "" when none is selected
    TChoiceSource FrameSizeSource = TChoiceSource::Default;
    std::string SettingsFile;
    // The merge choices that are on, "fade out 3 s, repeat songs"; "" for none.
    std::string MergeChoices;
};

// The merge choices that are on, as ShownChoices holds them.
std::string MergeChoicesText(const TOutputChoices& choices);

// "format MP4 (from --format), frame size Auto - Original (from the settings
// file ...)", then "; " and the merge choices when any is on.
std::string ChoicesLine(const ShownChoices& choices);

std::string DryRunText(const TMergePreview& preview, const ShownChoices& choices);
std::string DryRunJson(const TMergePreview& preview, const ShownChoices& choices);

}  // namespace tavrin::cli

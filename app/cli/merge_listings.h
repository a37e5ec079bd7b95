// The listings of tavrin-merge: --list-formats and --list-sizes.
#pragma once

#include <span>
#include <string>

#include "app/core/format_listing.h"

namespace tavrin::cli {

// A table with a header line and one line per format: name, container, video
// and audio encoder, each encoder this machine lacks marked "(missing)".
std::string FormatListText(std::span<const TFormatCodecs> formats);

// The frame-size entries of the format at formatIndex, one per line.
std::string SizeListText(int formatIndex);

}  // namespace tavrin::cli

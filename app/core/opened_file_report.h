// The log lines that describe a file the window has just opened to show it
// to the user: its information text, size, duration and, stream by stream,
// the facts of its video and audio streams.
#pragma once

#include <string>
#include <vector>

namespace tavrin {

class TCustomDecoder;

// The decoder must hold the file open.
std::vector<std::string> OpenedFileReportLines(TCustomDecoder& decoder);

}  // namespace tavrin

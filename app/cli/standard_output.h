// The end of a program's standard output: what could not be written (a full
// disk, a closed file) must not end the program as a success.
#pragma once

namespace tavrin::cli {

// Flushes standard output. When anything written to it was lost, says so on
// standard error, prefixed with `program`, and returns false.
bool FlushStandardOutput(const char* program);

// The exit status of a program whose run gave `status`: a run that
// succeeded but whose output was lost fails with 1.
int WithStandardOutputFlushed(const char* program, int status);

}  // namespace tavrin::cli

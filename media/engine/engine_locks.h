// The engine's process-wide locks, shared by every task of the process.
//
// CodecListLock guards every change to, and every walk of, a task's lists of
// opened encoders and decoders; it lives with those lists' helpers in
// pipeline.h. PreviewLock guards the preview flags of every task.
#pragma once

#include <mutex>

#include "media/engine/pipeline.h"

namespace tavrin {

// Held while a task's preview flags are read or changed.
std::mutex& PreviewLock();

}  // namespace tavrin

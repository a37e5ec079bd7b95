#include "media/engine/engine_locks.h"

namespace tavrin {

std::mutex& PreviewLock() {
    // Created on first use and alive until the process ends, like the
    // engine module that owns it.
    static std::mutex lock;
    return lock;
}

}  // namespace tavrin

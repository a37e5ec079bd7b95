#include "app/cli/standard_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tavrin::cli {

bool FlushStandardOutput(const char* program) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && std::ferror(stdout) == 0) {
        return true;
    }
    std::fprintf(stderr, "%s: cannot write to standard output: %s\n", program,
                 error != 0 ? std::strerror(error) : "write error");
    return false;
}

int WithStandardOutputFlushed(const char* program, int status) {
    const bool written = FlushStandardOutput(program);
    return status == 0 && !written ? 1 : status;
}

}  // namespace tavrin::cli

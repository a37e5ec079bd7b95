// Internal to the logging files: holds the process's logger for the length of
// one use, so that a logger being destroyed waits until no thread still uses
// it.
#pragma once

#include "media/runtime/logger.h"

namespace tavrin {

class LoggerInUse {
public:
    // Takes the process's logger, creating the auto-created one when none
    // exists. Null only after the process's logging state has ended.
    LoggerInUse();
    ~LoggerInUse();
    LoggerInUse(const LoggerInUse&) = delete;
    LoggerInUse& operator=(const LoggerInUse&) = delete;

    explicit operator bool() const { return logger_ != nullptr; }
    TREVaduzi* operator->() const { return logger_; }
    TREVaduzi& operator*() const { return *logger_; }

private:
    static void CreateAutoLogger();

    TREVaduzi* logger_ = nullptr;
    bool counted_ = false;
};

}  // namespace tavrin

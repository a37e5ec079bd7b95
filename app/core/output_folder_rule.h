// The rule behind choosing a new output folder: what a chosen folder does to
// the stored one and which warning the user sees. It decides only; the window
// shows the message and stores the folder it is told to store.
#pragma once

#include <functional>
#include <string>

namespace tavrin {

inline constexpr std::string_view kOpticalDiscMessage =
    "Output folder cannot be located in CD-ROM.Please select another folder.";

enum class TFolderChoiceOutcome {
    Unchanged,      // nothing chosen, or the folder already in use
    NotValid,       // shorter than 4 characters, such as "/" or "/a"
    OnOpticalDisc,  // on a CD or DVD file system
    NoPermission,   // the write test failed: the fallback folder is stored
    Stored,         // the chosen folder is stored
};

struct TFolderChoice {
    TFolderChoiceOutcome outcome = TFolderChoiceOutcome::Unchanged;
    // The warning to show; empty when there is none.
    std::string message;
    // The folder to store and show; empty when the stored folder stays.
    std::string folder;
};

// The system queries the rule depends on; tests replace them.
struct TFolderChecks {
    std::function<bool(const std::string&)> isOnOpticalDisc;
    std::function<bool(const std::string&)> canWrite;
    std::function<std::string()> userName;
    std::function<std::string()> fallbackFolder;
};

// The checks of this system: statfs, a temporary file, the password database
// and $HOME/tavrinfree (the same fallback as at start-up).
TFolderChecks SystemFolderChecks();

// Applies the rules in order: empty or the same as `current`, too short, on an
// optical disc, not writable, otherwise stored.
TFolderChoice DecideOutputFolder(const std::string& chosen, const std::string& current,
                                 const TFolderChecks& checks);

// True when the folder lies on an iso9660 or udf file system, the file systems
// of CDs and DVDs. A folder that cannot be examined yields false.
bool IsOnOpticalDisc(const std::string& folder);

}  // namespace tavrin

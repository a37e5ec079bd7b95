// The private settings file of one tavrin-merge run, in a folder of its own
// under the temporary folder, so that the run's choices never touch the
// user's settings. A run locks its folder while it lasts; the next run
// removes folders that killed runs left behind.
#pragma once

#include <string>

#include "media/runtime/unique_fd.h"

namespace tavrin::cli {

class PrivateSettings {
public:
    // Removes the leftovers of killed runs, then makes and locks the folder.
    PrivateSettings();
    // Removes the folder.
    ~PrivateSettings();
    PrivateSettings(const PrivateSettings&) = delete;
    PrivateSettings& operator=(const PrivateSettings&) = delete;

    bool Ready() const { return !folder_.empty(); }
    std::string IniFileName() const { return folder_ + "/tavrin.ini"; }

private:
    void Remove();

    std::string folder_;
    UniqueFd lock_;
};

}  // namespace tavrin::cli

// Folders a run creates for its output, taken away again when the run leaves
// nothing in them: a merge that fails does not leave empty folders behind.
#pragma once

#include <string>
#include <system_error>
#include <vector>

namespace tavrin {

class TCreatedFolders {
public:
    // Creates `folder` and its missing parents, remembering the ones this
    // call made. False with the reason in `error` when it is not a folder
    // afterwards.
    bool Create(const std::string& folder, std::error_code& error);
    // Removes the folders made that are empty, the innermost first; a folder
    // that holds anything (the output, a file someone put there) stays, and
    // so do the folders around it.
    void RemoveEmpty();

private:
    std::vector<std::string> made_;  // outermost first
};

}  // namespace tavrin

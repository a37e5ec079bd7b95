// The mark a merge leaves in its output folder while it runs: a hidden lock
// file named after the process, held locked for as long as the run lives, that
// lists the files the run created there (the temporary joined audio, the
// output being written). A run that was killed cannot tidy up after itself;
// the next run into the folder finds its mark unlocked and its process gone,
// and removes the files the mark lists, and only those, while they are still
// the very files that were created.
#pragma once

#include <string>

#include "app/core/created_file.h"
#include "media/runtime/unique_fd.h"

namespace tavrin {

class TRunMark {
public:
    TRunMark() = default;
    // Creates and locks the mark of this process in `folder`; a mark that
    // cannot be made leaves the run without one (Active false): the run
    // still works, only its files outlive a kill.
    explicit TRunMark(const std::string& folder);
    // Removes the mark (the listed files are their owners' business).
    ~TRunMark();
    TRunMark(TRunMark&& other) noexcept;
    TRunMark& operator=(TRunMark&& other) noexcept;
    TRunMark(const TRunMark&) = delete;
    TRunMark& operator=(const TRunMark&) = delete;

    bool Active() const { return fd_.Get() >= 0; }
    const std::string& Path() const { return path_; }
    // Lists a file this run has just created in the mark's folder.
    void Record(const std::string& path, TFileIdentity identity);

private:
    void Release();

    std::string path_;
    UniqueFd fd_;
};

// The mark's file name prefix; marks end in ".lock".
inline constexpr char kRunMarkPrefix[] = ".tavrin-run-";

// Removes what the marks of ended runs in `folder` list, and those marks.
// A mark whose lock is held, or whose process still exists, is left alone.
// Returns how many files were removed.
int RemoveStaleRunFiles(const std::string& folder);

}  // namespace tavrin

// A file this process created, removed when its owner goes unless it is
// kept. Removal checks that the name still refers to the very file that was
// created, so a file someone put in its place meanwhile is never removed.
#pragma once

#include <sys/types.h>

#include <string>

namespace tavrin {

// Which file a name referred to when it was created.
struct TFileIdentity {
    dev_t Device = 0;
    ino_t Inode = 0;
};

class TCreatedFile {
public:
    TCreatedFile() = default;
    // Takes charge of the file the caller has just created at `path`, known
    // by the identity its descriptor had: only that very file is removed.
    TCreatedFile(std::string path, TFileIdentity identity);
    ~TCreatedFile() { Remove(); }
    TCreatedFile(TCreatedFile&& other) noexcept;
    TCreatedFile& operator=(TCreatedFile&& other) noexcept;
    TCreatedFile(const TCreatedFile&) = delete;
    TCreatedFile& operator=(const TCreatedFile&) = delete;

    // "" when no file is in charge.
    const std::string& Path() const { return path_; }

    // Whether the name still refers to the very file that was created.
    bool StillCreated() const;
    // Removes the file (when it is still the one created) and lets it go.
    void Remove();
    // Lets the file go without removing it.
    void Keep();

private:
    std::string path_;
    TFileIdentity identity_;
};

}  // namespace tavrin

// An INI file read and written at every access, the way the settings of the
// application are kept: nothing is cached, a write replaces the file
// atomically and keeps every other line, and concurrent writers from several
// processes are serialised by a lock on a side file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrin {

// Text-level operations, shared by the file class and usable on their own.
// Sections and keys compare without regard to ASCII case; the first match
// counts. Lines that are not text (control bytes, invalid UTF-8) are ignored
// by a read and left out by a write, so a damaged file heals on the next write.

// Value of key in section, with surrounding blanks and one pair of matching
// quotes removed; nullopt when absent.
std::optional<std::string> FindIniValue(std::string_view content, std::string_view section,
                                        std::string_view key);

// The content with key set to value in section: the first such key line is
// replaced, else a line is added after the last entry of the section, else the
// section is appended. Every other text line stays as it was.
std::string SetIniValue(std::string_view content, std::string_view section, std::string_view key,
                        std::string_view value);

// True when the value can be stored on one INI line and read back unchanged.
bool IsStorableIniValue(std::string_view value);

class TIniFile {
public:
    explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

    const std::string& FileName() const { return fileName_; }

    // Reads never fail loudly: a missing or unreadable file, section or key
    // gives nullopt or the default.
    std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue) const;
    // Decimal text; a value that does not parse or does not fit counts as absent.
    int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;
    std::optional<int> ReadInteger(std::string_view section, std::string_view key) const;
    // An integer, non-zero meaning true; anything else counts as absent.
    bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

    // Writes return false with the reason in LastErrorText; the file is then
    // left exactly as it was.
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);
    bool WriteInteger(std::string_view section, std::string_view key, int value);
    bool WriteBool(std::string_view section, std::string_view key, bool value);

    const std::string& LastErrorText() const { return lastErrorText_; }

private:
    std::string fileName_;
    std::string lastErrorText_;
};

}  // namespace tavrin

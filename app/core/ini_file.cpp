#include "app/core/ini_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <system_error>
#include <vector>

#include "media/runtime/unique_fd.h"

namespace tavrin {

namespace {

namespace fs = std::filesystem;

constexpr mode_t kNewFileMode = 0644;

std::string SystemErrorText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF)
// without control characters other than the tab.
bool IsTextLine(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size()) {
        const auto lead = static_cast<unsigned char>(line[i]);
        if (lead < 0x80) {
            if ((lead < 0x20 && lead != '\t') || lead == 0x7F) {
                return false;
            }
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t code = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > line.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(line[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
        if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            return false;
        }
        i += length;
    }
    return true;
}

// The text lines of the content, without line ends; other lines are dropped.
std::vector<std::string_view> TextLines(std::string_view content) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        auto end = content.find('\n', start);
        if (end == std::string_view::npos) {
            end = content.size();
        }
        std::string_view line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (IsTextLine(line)) {
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

std::optional<std::string_view> SectionName(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() != '[') {
        return std::nullopt;
    }
    const auto close = trimmed.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return Trim(trimmed.substr(1, close - 1));
}

struct Entry {
    std::string_view key;
    std::string_view value;
};

std::optional<Entry> EntryOf(std::string_view line) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '[') {
        return std::nullopt;
    }
    const auto equals = trimmed.find('=');
    if (equals == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view key = Trim(trimmed.substr(0, equals));
    if (key.empty()) {
        return std::nullopt;
    }
    return Entry{key, Trim(trimmed.substr(equals + 1))};
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && IsQuote(value.front()) && value.front() == value.back()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Quotes a value that would otherwise lose its outer blanks or quotes on reading.
std::string StoredForm(std::string_view value) {
    const bool needsQuotes =
        !value.empty() &&
        (IsBlank(value.front()) || IsBlank(value.back()) ||
         (value.size() >= 2 && IsQuote(value.front()) && value.front() == value.back()));
    return needsQuotes ? "\"" + std::string(value) + "\"" : std::string(value);
}

// Index range [first, last) of the entries of the first section with this name.
struct SectionRange {
    std::size_t header;
    std::size_t end;
};

std::optional<SectionRange> FindSection(const std::vector<std::string_view>& lines,
                                        std::string_view section) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto name = SectionName(lines[i]);
        if (name && EqualsIgnoreCase(*name, section)) {
            std::size_t end = i + 1;
            while (end < lines.size() && !SectionName(lines[end])) {
                ++end;
            }
            return SectionRange{i, end};
        }
    }
    return std::nullopt;
}

std::optional<int> ParseInteger(std::string_view text) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

struct FileContent {
    bool ok = false;
    int error = 0;
    bool notRegularFile = false;
    std::string text;
    mode_t mode = kNewFileMode;
};

FileContent ReadWholeFile(const std::string& path) {
    FileContent result;
    // Non-blocking, so a FIFO in place of the file cannot hang the read.
    UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.Valid()) {
        result.error = errno;
        return result;
    }
    struct stat status {};
    if (fstat(file.Get(), &status) != 0) {
        result.error = errno;
        return result;
    }
    if (!S_ISREG(status.st_mode)) {
        result.notRegularFile = true;
        return result;
    }
    result.mode = status.st_mode & 07777;
    char buffer[16384];
    for (;;) {
        const ssize_t count = read(file.Get(), buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            result.error = errno;
            return result;
        }
        if (count == 0) {
            break;
        }
        result.text.append(buffer, static_cast<std::size_t>(count));
    }
    result.ok = true;
    return result;
}

bool WriteAll(int descriptor, std::string_view data) {
    while (!data.empty()) {
        const ssize_t count = write(descriptor, data.data(), data.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// The file a write must replace: the target of a symbolic link, so the link stays.
std::string WriteTarget(const std::string& fileName) {
    std::error_code error;
    if (fs::is_symlink(fs::path(fileName), error)) {
        const fs::path resolved = fs::weakly_canonical(fs::path(fileName), error);
        if (!error) {
            return resolved.string();
        }
    }
    return fileName;
}

}  // namespace

std::optional<std::string> FindIniValue(std::string_view content, std::string_view section,
                                        std::string_view key) {
    const auto lines = TextLines(content);
    const auto range = FindSection(lines, section);
    if (!range) {
        return std::nullopt;
    }
    for (std::size_t i = range->header + 1; i < range->end; ++i) {
        const auto entry = EntryOf(lines[i]);
        if (entry && EqualsIgnoreCase(entry->key, key)) {
            return std::string(Unquote(entry->value));
        }
    }
    return std::nullopt;
}

std::string SetIniValue(std::string_view content, std::string_view section, std::string_view key,
                        std::string_view value) {
    const auto views = TextLines(content);
    std::vector<std::string> lines(views.begin(), views.end());
    const std::string entryLine = std::string(key) + "=" + StoredForm(value);

    if (const auto range = FindSection(views, section)) {
        std::size_t lastFilled = range->header;
        for (std::size_t i = range->header + 1; i < range->end; ++i) {
            const auto entry = EntryOf(views[i]);
            if (entry && EqualsIgnoreCase(entry->key, key)) {
                lines[i] = entryLine;
                lastFilled = std::string::npos;
                break;
            }
            if (!Trim(views[i]).empty()) {
                lastFilled = i;
            }
        }
        if (lastFilled != std::string::npos) {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(lastFilled + 1), entryLine);
        }
    } else {
        if (!lines.empty() && !Trim(lines.back()).empty()) {
            lines.emplace_back();
        }
        lines.push_back("[" + std::string(section) + "]");
        lines.push_back(entryLine);
    }

    std::string result;
    for (const auto& line : lines) {
        result += line;
        result += '\n';
    }
    return result;
}

bool IsStorableIniValue(std::string_view value) {
    return IsTextLine(value);
}

std::optional<std::string> TIniFile::ReadString(std::string_view section,
                                                std::string_view key) const {
    // A write replaces the file by a rename, so a read without the lock sees
    // either the old or the new file, never a mix.
    const FileContent file = ReadWholeFile(fileName_);
    if (!file.ok) {
        return std::nullopt;
    }
    return FindIniValue(file.text, section, key);
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const {
    auto value = ReadString(section, key);
    return value ? std::move(*value) : std::string(defaultValue);
}

int TIniFile::ReadInteger(std::string_view section, std::string_view key, int defaultValue) const {
    return ReadInteger(section, key).value_or(defaultValue);
}

std::optional<int> TIniFile::ReadInteger(std::string_view section, std::string_view key) const {
    const auto text = ReadString(section, key);
    return text ? ParseInteger(*text) : std::nullopt;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
    const auto text = ReadString(section, key);
    const auto value = text ? ParseInteger(*text) : std::nullopt;
    return value ? *value != 0 : defaultValue;
}

bool TIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
    return WriteString(section, key, std::to_string(value));
}

bool TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    return WriteString(section, key, value ? "1" : "0");
}

bool TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    lastErrorText_.clear();
    const auto fail = [this](std::string text) {
        lastErrorText_ = std::move(text);
        return false;
    };
    if (!IsStorableIniValue(value)) {
        return fail("The value of \"" + std::string(key) +
                    "\" cannot be stored in the settings file: it holds a line break, a control "
                    "character or text that is not UTF-8.");
    }

    const std::string target = WriteTarget(fileName_);
    const fs::path folder = fs::path(target).parent_path();
    if (!folder.empty()) {
        std::error_code ignored;  // a missing folder shows up below with its reason
        fs::create_directories(folder, ignored);
    }

    // Serialise read-modify-write against other writers, in this process or
    // another; the lock file is never removed, so every writer locks the same file.
    const std::string lockName = target + ".lock";
    UniqueFd lock(open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kNewFileMode));
    if (!lock.Valid()) {
        return fail("Cannot open the lock file " + lockName + ": " + SystemErrorText(errno));
    }
    while (flock(lock.Get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            return fail("Cannot lock " + lockName + ": " + SystemErrorText(errno));
        }
    }

    FileContent current = ReadWholeFile(target);
    if (!current.ok && current.error != ENOENT) {
        // Writing now would drop the keys that could not be read.
        return fail("Cannot read the settings file " + target + ": " +
                    (current.notRegularFile ? std::string("it is not a regular file")
                                            : SystemErrorText(current.error)));
    }
    const std::string updated = SetIniValue(current.text, section, key, value);

    std::string tempName = target + ".XXXXXX";
    UniqueFd temp(mkostemp(tempName.data(), O_CLOEXEC));
    if (!temp.Valid()) {
        return fail("Cannot create a temporary file next to " + target + ": " +
                    SystemErrorText(errno));
    }
    const bool written = WriteAll(temp.Get(), updated) && fchmod(temp.Get(), current.mode) == 0 &&
                         fsync(temp.Get()) == 0;
    const int writeError = errno;
    if (!temp.Close() || !written) {
        const int error = written ? errno : writeError;
        unlink(tempName.c_str());
        return fail("Cannot write the settings file " + target + ": " + SystemErrorText(error));
    }
    if (rename(tempName.c_str(), target.c_str()) != 0) {
        const int error = errno;
        unlink(tempName.c_str());
        return fail("Cannot replace the settings file " + target + ": " + SystemErrorText(error));
    }
    // Make the rename itself durable; a failure here leaves a complete file.
    UniqueFd directory(
        open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Valid()) {
        fsync(directory.Get());
    }
    return true;
}

}  // namespace tavrin

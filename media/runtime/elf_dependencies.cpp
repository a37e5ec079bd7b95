#include "media/runtime/elf_dependencies.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "media/runtime/unique_fd.h"

namespace tavrin {

namespace {

// A read-only file descriptor, closed on scope exit.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::filesystem::path& file)
        : fd_(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {}

    bool is_open() const { return fd_.Valid(); }

    std::uint64_t Size() const {
        struct stat info {};
        return ::fstat(fd_.Get(), &info) == 0 && info.st_size > 0
                   ? static_cast<std::uint64_t>(info.st_size)
                   : 0;
    }

    // Reads exactly size bytes at offset; false on a short read or an error.
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) const {
        auto* out = static_cast<char*>(buffer);
        while (size > 0) {
            const ssize_t got = ::pread(fd_.Get(), out, size, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return false;
            }
            out += got;
            offset += static_cast<std::uint64_t>(got);
            size -= static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    UniqueFd fd_;
};

// True when [offset, offset + size) lies inside a file of file_size bytes.
bool InsideFile(std::uint64_t offset, std::uint64_t size, std::uint64_t file_size) {
    return offset <= file_size && size <= file_size - offset;
}

std::nullopt_t Fail(std::string* error, std::string reason) {
    if (error) {
        *error = std::move(reason);
    }
    return std::nullopt;
}

}  // namespace

bool IsElfFile(const std::filesystem::path& file) {
    const ReadOnlyFile input(file);
    unsigned char magic[SELFMAG] = {};
    return input.is_open() && input.ReadAt(0, magic, SELFMAG) &&
           std::memcmp(magic, ELFMAG, SELFMAG) == 0;
}

std::optional<std::vector<std::string>> ReadElfNeeded(const std::filesystem::path& file,
                                                      std::string* error) {
    const ReadOnlyFile input(file);
    if (!input.is_open()) {
        return Fail(error, std::strerror(errno));
    }
    const std::uint64_t file_size = input.Size();

    Elf64_Ehdr header{};
    if (!input.ReadAt(0, &header, sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        return Fail(error, "not an ELF file");
    }
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB) {
        return Fail(error, "not a 64-bit little-endian ELF file");
    }
    if (header.e_phnum == 0) {
        return std::vector<std::string>{};
    }
    if (header.e_phentsize != sizeof(Elf64_Phdr) ||
        !InsideFile(header.e_phoff, std::uint64_t{header.e_phnum} * sizeof(Elf64_Phdr),
                    file_size)) {
        return Fail(error, "malformed ELF program headers");
    }
    std::vector<Elf64_Phdr> segments(header.e_phnum);
    if (!input.ReadAt(header.e_phoff, segments.data(), segments.size() * sizeof(Elf64_Phdr))) {
        return Fail(error, "cannot read the ELF program headers");
    }

    const Elf64_Phdr* dynamic = nullptr;
    for (const Elf64_Phdr& segment : segments) {
        if (segment.p_type == PT_DYNAMIC) {
            dynamic = &segment;
        }
    }
    if (!dynamic) {
        return std::vector<std::string>{};
    }
    if (!InsideFile(dynamic->p_offset, dynamic->p_filesz, file_size)) {
        return Fail(error, "malformed ELF dynamic section");
    }
    std::vector<Elf64_Dyn> entries(dynamic->p_filesz / sizeof(Elf64_Dyn));
    if (!input.ReadAt(dynamic->p_offset, entries.data(), entries.size() * sizeof(Elf64_Dyn))) {
        return Fail(error, "cannot read the ELF dynamic section");
    }

    std::uint64_t string_table_address = 0;
    std::uint64_t string_table_size = 0;
    bool has_string_table = false;
    std::vector<std::uint64_t> needed_offsets;
    for (const Elf64_Dyn& entry : entries) {
        if (entry.d_tag == DT_NULL) {
            break;
        }
        if (entry.d_tag == DT_NEEDED) {
            needed_offsets.push_back(entry.d_un.d_val);
        } else if (entry.d_tag == DT_STRTAB) {
            string_table_address = entry.d_un.d_ptr;
            has_string_table = true;
        } else if (entry.d_tag == DT_STRSZ) {
            string_table_size = entry.d_un.d_val;
        }
    }
    if (needed_offsets.empty()) {
        return std::vector<std::string>{};
    }
    if (!has_string_table) {
        return Fail(error, "ELF dynamic section without a string table");
    }

    // The dynamic section names the string table by its load address; the
    // loadable segment holding that address tells where it is in the file.
    std::optional<std::uint64_t> string_table_offset;
    for (const Elf64_Phdr& segment : segments) {
        if (segment.p_type == PT_LOAD && string_table_address >= segment.p_vaddr &&
            string_table_address - segment.p_vaddr < segment.p_filesz) {
            string_table_offset = string_table_address - segment.p_vaddr + segment.p_offset;
            break;
        }
    }
    if (!string_table_offset || !InsideFile(*string_table_offset, string_table_size, file_size)) {
        return Fail(error, "malformed ELF string table");
    }
    std::string strings(string_table_size, '\0');
    if (!input.ReadAt(*string_table_offset, strings.data(), strings.size())) {
        return Fail(error, "cannot read the ELF string table");
    }

    std::vector<std::string> needed;
    for (const std::uint64_t offset : needed_offsets) {
        const std::size_t end =
            offset < strings.size() ? strings.find('\0', offset) : std::string::npos;
        if (end == std::string::npos) {
            return Fail(error, "malformed ELF dependency name");
        }
        needed.push_back(strings.substr(offset, end - offset));
    }
    return needed;
}

}  // namespace tavrin

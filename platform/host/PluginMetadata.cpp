#include "PluginMetadata.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace Halvoren {

namespace {

// Far above what a descriptor needs; bounds what a damaged file can make the host allocate.
constexpr std::uint64_t kMaxSectionSize = 64 * 1024;
constexpr std::uint64_t kMaxNameTableSize = 1024 * 1024;

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kNativeData = ELFDATA2LSB;
#else
constexpr unsigned char kNativeData = ELFDATA2MSB;
#endif

class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~ReadOnlyFile() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    int fd() const { return m_fd; }

    /// Exactly size bytes from the offset; false on an error or a short read.
    bool read(std::uint64_t offset, void* out, std::size_t size) const {
        auto* bytes = static_cast<char*>(out);
        while (size > 0) {
            const ssize_t got = ::pread(m_fd, bytes, size, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return false;
            }
            bytes += got;
            offset += static_cast<std::uint64_t>(got);
            size -= static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    int m_fd;
};

/// Whether [offset, offset + size) lies within a file of fileSize bytes (without overflowing).
bool within(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

}  // namespace

bool PluginMetadata::read(const std::string& path, PluginMetadata& metadata, std::string& reason) {
    const ReadOnlyFile file(path);
    if (file.fd() < 0) {
        reason = std::string("cannot be loaded: ") + std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(file.fd(), &status) != 0 || !S_ISREG(status.st_mode)) {
        reason = "cannot be loaded: not a regular file";
        return false;
    }
    const auto fileSize = static_cast<std::uint64_t>(status.st_size);
    const std::string truncated = "cannot be loaded: truncated or malformed ELF file";

    Elf64_Ehdr header{};
    if (fileSize < EI_NIDENT || !file.read(0, header.e_ident, EI_NIDENT) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        reason = "cannot be loaded: not an ELF file";
        return false;
    }
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != kNativeData) {
        reason = "cannot be loaded: not a 64-bit ELF file of this byte order";
        return false;
    }
    if (!within(0, sizeof header, fileSize) || !file.read(0, &header, sizeof header)) {
        reason = truncated;
        return false;
    }
    const std::string noSection = std::string("no ") + kSectionName + " section";
    if (header.e_shoff == 0) {
        reason = noSection;  // no section headers at all
        return false;
    }
    if (header.e_shentsize != sizeof(Elf64_Shdr) || !within(header.e_shoff, sizeof(Elf64_Shdr), fileSize)) {
        reason = truncated;
        return false;
    }
    // Past 0xff00 sections the count and the name table's index move into the first section header.
    Elf64_Shdr first{};
    if (!file.read(header.e_shoff, &first, sizeof first)) {
        reason = truncated;
        return false;
    }
    const std::uint64_t count = header.e_shnum != 0 ? header.e_shnum : first.sh_size;
    const std::uint64_t namesIndex = header.e_shstrndx != SHN_XINDEX ? header.e_shstrndx : first.sh_link;
    if (count > (fileSize - header.e_shoff) / sizeof(Elf64_Shdr) || namesIndex >= count) {
        reason = truncated;
        return false;
    }
    std::vector<Elf64_Shdr> sections(static_cast<std::size_t>(count));
    if (!file.read(header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr))) {
        reason = truncated;
        return false;
    }
    const Elf64_Shdr& namesHeader = sections[static_cast<std::size_t>(namesIndex)];
    if (namesHeader.sh_type != SHT_STRTAB || namesHeader.sh_size > kMaxNameTableSize ||
        !within(namesHeader.sh_offset, namesHeader.sh_size, fileSize)) {
        reason = truncated;
        return false;
    }
    std::string names(static_cast<std::size_t>(namesHeader.sh_size), '\0');
    if (!file.read(namesHeader.sh_offset, names.data(), names.size())) {
        reason = truncated;
        return false;
    }

    const Elf64_Shdr* section = nullptr;
    const std::size_t nameLength = std::strlen(kSectionName);
    for (const Elf64_Shdr& candidate : sections) {
        // The name, with its ending NUL, must lie inside the table.
        if (candidate.sh_name < names.size() && nameLength < names.size() - candidate.sh_name &&
            names.compare(candidate.sh_name, nameLength + 1, kSectionName, nameLength + 1) == 0) {
            section = &candidate;
            break;
        }
    }
    if (section == nullptr) {
        reason = noSection;
        return false;
    }
    const std::string malformed =
        std::string("the ") + kSectionName + " section does not hold a descriptor and an id";
    if (section->sh_type == SHT_NOBITS || section->sh_size > kMaxSectionSize) {
        reason = malformed;
        return false;
    }
    if (!within(section->sh_offset, section->sh_size, fileSize)) {
        reason = truncated;
        return false;
    }
    std::string content(static_cast<std::size_t>(section->sh_size), '\0');
    if (!file.read(section->sh_offset, content.data(), content.size())) {
        reason = truncated;
        return false;
    }
    const std::size_t descriptorEnd = content.find('\0');
    const std::size_t idEnd =
        descriptorEnd == std::string::npos ? std::string::npos : content.find('\0', descriptorEnd + 1);
    if (idEnd == std::string::npos) {
        reason = malformed;
        return false;
    }
    metadata.descriptor = content.substr(0, descriptorEnd);
    metadata.id = content.substr(descriptorEnd + 1, idEnd - descriptorEnd - 1);
    return true;
}

}  // namespace Halvoren

#include "PluginMetadata.h"

#include "text/FileDescriptor.h"
#include "text/Text.h"

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

    int fd() const { return m_fd.get(); }

    /// Exactly size bytes from the offset; false on an error or a short read.
    bool read(std::uint64_t offset, void* out, std::size_t size) const {
        auto* bytes = static_cast<char*>(out);
        while (size > 0) {
            const ssize_t got = ::pread(m_fd.get(), bytes, size, static_cast<off_t>(offset));
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
    FileDescriptor m_fd;
};

/// Whether [offset, offset + size) lies within a file of fileSize bytes (without overflowing).
bool within(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

const char* const kTruncated = "cannot be loaded: truncated or malformed ELF file";

/// The file header of a 64-bit ELF file of this byte order; the reason to refuse the file otherwise.
std::string readElfHeader(const ReadOnlyFile& file, std::uint64_t fileSize, Elf64_Ehdr& header) {
    if (fileSize < EI_NIDENT || !file.read(0, header.e_ident, EI_NIDENT) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
        return "cannot be loaded: not an ELF file";
    }
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != kNativeData) {
        return "cannot be loaded: not a 64-bit ELF file of this byte order";
    }
    if (!within(0, sizeof header, fileSize) || !file.read(0, &header, sizeof header)) {
        return kTruncated;
    }
    return {};
}

/// The section headers and the section name table; the reason to refuse the file otherwise.
std::string readSectionHeaders(const ReadOnlyFile& file, std::uint64_t fileSize, const Elf64_Ehdr& header,
                               std::vector<Elf64_Shdr>& sections, std::string& names) {
    if (header.e_shoff == 0) {
        return std::string("no ") + PluginMetadata::kSectionName + " section";  // no section headers
    }
    if (header.e_shentsize != sizeof(Elf64_Shdr) || !within(header.e_shoff, sizeof(Elf64_Shdr), fileSize)) {
        return kTruncated;
    }
    // Past 0xff00 sections the count and the name table's index move into the first section header.
    Elf64_Shdr first{};
    if (!file.read(header.e_shoff, &first, sizeof first)) {
        return kTruncated;
    }
    const std::uint64_t count = header.e_shnum != 0 ? header.e_shnum : first.sh_size;
    const std::uint64_t namesIndex = header.e_shstrndx != SHN_XINDEX ? header.e_shstrndx : first.sh_link;
    if (count > (fileSize - header.e_shoff) / sizeof(Elf64_Shdr) || namesIndex >= count) {
        return kTruncated;
    }
    sections.resize(static_cast<std::size_t>(count));
    if (!file.read(header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr))) {
        return kTruncated;
    }
    const Elf64_Shdr& namesHeader = sections[static_cast<std::size_t>(namesIndex)];
    if (namesHeader.sh_type != SHT_STRTAB || namesHeader.sh_size > kMaxNameTableSize ||
        !within(namesHeader.sh_offset, namesHeader.sh_size, fileSize)) {
        return kTruncated;
    }
    names.assign(static_cast<std::size_t>(namesHeader.sh_size), '\0');
    if (!file.read(namesHeader.sh_offset, names.data(), names.size())) {
        return kTruncated;
    }
    return {};
}

/// The metadata section's header, or null.
const Elf64_Shdr* findSection(const std::vector<Elf64_Shdr>& sections, const std::string& names) {
    const std::size_t nameLength = std::strlen(PluginMetadata::kSectionName);
    for (const Elf64_Shdr& candidate : sections) {
        // The name, with its ending NUL, must lie inside the table.
        if (candidate.sh_name < names.size() && nameLength < names.size() - candidate.sh_name &&
            names.compare(candidate.sh_name, nameLength + 1, PluginMetadata::kSectionName, nameLength + 1) ==
                0) {
            return &candidate;
        }
    }
    return nullptr;
}

/// The descriptor and the id the section holds; the reason to refuse the file otherwise.
std::string readContent(const ReadOnlyFile& file, std::uint64_t fileSize, const Elf64_Shdr& section,
                        PluginMetadata& metadata) {
    const std::string malformed =
        std::string("the ") + PluginMetadata::kSectionName + " section does not hold a descriptor and an id";
    if (section.sh_type == SHT_NOBITS || section.sh_size > kMaxSectionSize) {
        return malformed;
    }
    if (!within(section.sh_offset, section.sh_size, fileSize)) {
        return kTruncated;
    }
    std::string content(static_cast<std::size_t>(section.sh_size), '\0');
    if (!file.read(section.sh_offset, content.data(), content.size())) {
        return kTruncated;
    }
    const std::size_t descriptorEnd = content.find('\0');
    const std::size_t idEnd =
        descriptorEnd == std::string::npos ? std::string::npos : content.find('\0', descriptorEnd + 1);
    if (idEnd == std::string::npos) {
        return malformed;
    }
    metadata.descriptor = content.substr(0, descriptorEnd);
    metadata.id = content.substr(descriptorEnd + 1, idEnd - descriptorEnd - 1);
    return {};
}

}  // namespace

bool PluginMetadata::read(const std::string& path, PluginMetadata& metadata, std::string& reason) {
    const ReadOnlyFile file(path);
    if (file.fd() < 0) {
        reason = "cannot be loaded: " + Text::errorText(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(file.fd(), &status) != 0 || !S_ISREG(status.st_mode)) {
        reason = "cannot be loaded: not a regular file";
        return false;
    }
    const auto fileSize = static_cast<std::uint64_t>(status.st_size);
    Elf64_Ehdr header{};
    std::vector<Elf64_Shdr> sections;
    std::string names;
    reason = readElfHeader(file, fileSize, header);
    if (reason.empty()) {
        reason = readSectionHeaders(file, fileSize, header, sections, names);
    }
    if (!reason.empty()) {
        return false;
    }
    const Elf64_Shdr* section = findSection(sections, names);
    if (section == nullptr) {
        reason = std::string("no ") + kSectionName + " section";
        return false;
    }
    reason = readContent(file, fileSize, *section, metadata);
    return reason.empty();
}

}  // namespace Halvoren

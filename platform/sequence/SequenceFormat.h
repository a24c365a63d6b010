#pragma once
// What the writer and the reader of sequence metafiles share: the names a header may use, how a frame's
// fields are named, and the few file operations both need.

#include "text/BoundedFile.h"
#include "text/Text.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Halvoren::Sequence::Format {

/// Frames' fields are "Seq_Frame" + at least four digits + "_" + the field's name.
constexpr const char* kFramePrefix = "Seq_Frame";

/// A MetaImage tag: one or more letters, digits or '_'.
bool isTagName(const std::string& name);
/// A field the MetaImage format defines (DimSize, ElementType, ...), or one the header of a recording
/// always carries (Kinds): never one of the recording's own fields.
bool isMetaImageField(const std::string& name);
/// "Seq_Frame0007_", "Seq_Frame12345_".
std::string framePrefix(std::size_t index);

using BoundedFile::kindOf;
using Text::errorText;
/// File content as a message may quote it: control bytes escaped ("\x1b"), so that none reaches a terminal,
/// and at most `maxBytes` of it, "..." marking the cut.
std::string printable(const std::string& text, std::size_t maxBytes = 80);

/// Owns an open file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = other.m_fd;
            other.m_fd = -1;
        }
        return *this;
    }
    int get() const { return m_fd; }
    /// Closes now; the close's error (0 when none), which a writer must not ignore.
    int reset();

private:
    int m_fd = -1;
};

/// Writes every byte, retrying partial writes. False with errno set.
bool writeAll(int fd, const void* data, std::size_t size);

}  // namespace Halvoren::Sequence::Format

#pragma once
// Where `halvoren stream` writes its poses: standard output, a regular file, or a FIFO or device.

#include "halvoren/console/ConsoleOutput.h"

#include <cstdint>
#include <fstream>
#include <iosfwd>
#include <memory>
#include <string>

namespace Halvoren::App {

/// A FIFO or a device is written as standard output is, through a console output: a reader that takes
/// nothing loses lines (counted) instead of holding up the end of the run, and a FIFO that no program
/// reads is refused instead of waited for. A regular file is written as a file.
class PoseTarget {
public:
    /// `standardOutput` is used when `path` is empty. False, with the reason written to `err`, when the
    /// path cannot be opened for writing.
    bool open(const std::string& path, std::ostream& standardOutput, std::ostream& err);
    std::ostream& stream() { return *m_stream; }
    /// Writes what is still queued (for a bounded time) and closes the file. False, with the reason
    /// written to `err`, when the poses could not all be written.
    bool close(std::ostream& err);
    /// Once closed: lines a FIFO's or a device's reader did not take (dropped, or given up at the end).
    std::uint64_t linesLost() const { return m_lost; }
    ~PoseTarget();

private:
    std::string m_path;
    std::ostream* m_stream = nullptr;
    std::ofstream m_file;
    int m_fd = -1;
    std::uint64_t m_lost = 0;
    std::unique_ptr<ConsoleOutput> m_special;
};

}  // namespace Halvoren::App

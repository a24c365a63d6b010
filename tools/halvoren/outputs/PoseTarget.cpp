#include "halvoren/outputs/PoseTarget.h"

#include "text/Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>

namespace Halvoren::App {

bool PoseTarget::open(const std::string& path, std::ostream& standardOutput, std::ostream& err) {
    m_path = path;
    if (path.empty()) {
        m_stream = &standardOutput;
        return true;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
        m_file.open(path, std::ios::out | std::ios::trunc);
        if (!m_file) {
            err << "halvoren: cannot write " << path << '\n';
            return false;
        }
        m_stream = &m_file;
        return true;
    }
    // Non-blocking: a FIFO without a reader fails at once (ENXIO) rather than waiting for one, and the
    // console output waits for room with poll() itself.
    m_fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (m_fd < 0) {
        err << "halvoren: cannot write " << path << ": "
            << (errno == ENXIO ? std::string("no program reads it") : Text::errorText(errno)) << '\n';
        return false;
    }
    m_special = std::make_unique<ConsoleOutput>(m_fd, 4 * ConsoleOutput::kDefaultQueueBytes);
    m_stream = &m_special->stream();
    return true;
}

bool PoseTarget::close(std::ostream& err) {
    if (m_special) {
        m_stream->flush();
        m_lost = m_special->finish();
        if (m_lost != 0) {
            err << "lines not written to " << m_path << ": " << m_lost << '\n';
        }
        return !m_special->failed();
    }
    if (m_file.is_open()) {
        m_file.close();
        return !m_file.fail();
    }
    return true;
}

PoseTarget::~PoseTarget() {
    m_special.reset();  // its thread writes to the descriptor until it ends
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

}  // namespace Halvoren::App

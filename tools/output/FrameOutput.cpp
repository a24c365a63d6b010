#include "output/FrameOutput.h"

namespace Halvoren::Output {

FrameOutput::FrameOutput(std::string name, QueuePolicy policy, Consumer consumer)
    : m_name(std::move(name)), m_consumer(consumer), m_queue(policy) {}

FrameOutput::~FrameOutput() = default;

std::size_t FrameOutput::drain() {
    std::size_t count = 0;
    FrameItem item;
    while (m_queue.tryPop(item)) {
        take(item);
        ++count;
    }
    return count;
}

}  // namespace Halvoren::Output

#include "StreamControllerBase.h"

#include "StreamIoAlgorithm.h"

namespace Halvoren {

StreamControllerBase::StreamControllerBase(StreamIoAlgorithm* algorithm, QWidget* parent)
    : QWidget(parent),
      AlgorithmController(algorithm),
      m_streamAlgorithm(algorithm),
      m_stream(algorithm != nullptr ? algorithm->stream() : nullptr) {}

StreamControllerBase::~StreamControllerBase() = default;

}  // namespace Halvoren

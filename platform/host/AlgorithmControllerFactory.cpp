#include "AlgorithmControllerFactory.h"

#include "AlgorithmController.h"

namespace Halvoren {

AlgorithmControllerFactory::AlgorithmControllerFactory(std::string name) : m_name(std::move(name)) {}

AlgorithmControllerFactory::~AlgorithmControllerFactory() = default;

std::unique_ptr<AlgorithmController> AlgorithmControllerFactory::createController(
    Algorithm* /*algorithm*/) const {
    return nullptr;
}

std::vector<std::string> AlgorithmControllerFactory::compatibleDataControllers(
    const DataList& /*data*/) const {
    return {};
}

}  // namespace Halvoren

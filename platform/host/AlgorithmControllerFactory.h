#pragma once

#include "AlgorithmController.h"
#include "DataList.h"

#include <memory>
#include <string>
#include <vector>

namespace Halvoren {

class Algorithm;

/// Makes the user-interface controllers of a plug-in's algorithms.
class AlgorithmControllerFactory {
public:
    explicit AlgorithmControllerFactory(std::string name);
    AlgorithmControllerFactory(const AlgorithmControllerFactory&) = delete;
    AlgorithmControllerFactory& operator=(const AlgorithmControllerFactory&) = delete;
    virtual ~AlgorithmControllerFactory();

    const std::string& name() const { return m_name; }

    /// GUI thread. A controller for the algorithm, or null when this factory makes none for it. The caller
    /// owns the controller and destroys it before the algorithm.
    virtual std::unique_ptr<AlgorithmController> createController(Algorithm* algorithm) const;
    /// Names of the data controllers this factory offers for the data; none by default.
    virtual std::vector<std::string> compatibleDataControllers(const DataList& data) const;

private:
    std::string m_name;
};

}  // namespace Halvoren

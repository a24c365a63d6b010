#pragma once

namespace Halvoren {

class Algorithm;

/// The user interface of one algorithm. The host creates it, gives it what it shows into (a display
/// widget), then calls init() once.
class AlgorithmController {
public:
    explicit AlgorithmController(Algorithm* algorithm) : m_algorithm(algorithm) {}
    AlgorithmController(const AlgorithmController&) = delete;
    AlgorithmController& operator=(const AlgorithmController&) = delete;
    virtual ~AlgorithmController();

    /// GUI thread. Called by the host once the controller is set up.
    virtual void init() {}

    Algorithm* algorithm() const { return m_algorithm; }

private:
    Algorithm* m_algorithm;  // not owned; outlives the controller
};

}  // namespace Halvoren

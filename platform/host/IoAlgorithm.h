#pragma once

#include "Algorithm.h"

namespace Halvoren {

/// An algorithm that brings data into the host from outside (files, devices) rather than from data the
/// host already holds.
class IoAlgorithm : public Algorithm {
public:
    IoAlgorithm() = default;
    ~IoAlgorithm() override;

    int ioMode() const override { return Input; }

    /// Applies the host-wide settings kept for this algorithm's registered name (factoryInfo().name), if
    /// any. The factory calls it right after creating an input algorithm.
    virtual void configureFromGlobalSettings();

    /// Host-wide settings: one block per algorithm name. Any thread.
    static void setGlobalSettings(const std::string& algorithmName, const Properties& settings);
    static void clearGlobalSettings();
};

}  // namespace Halvoren

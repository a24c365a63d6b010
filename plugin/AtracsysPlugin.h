#pragma once

#include "host/HalvorenLibPlugin.h"

#include <string>
#include <vector>

namespace Halvoren::SpryTrack {

/// The Atracsys tracking plug-in: hands the host the stream algorithm's factory, its panel's factory and
/// the conversion of older workspaces.
class AtracsysPlugin : public HalvorenLibPlugin {
public:
    AtracsysPlugin() = default;
    ~AtracsysPlugin() override;

    std::string vendor() const override;
    std::string description() const override;
    /// The plug-ins this one needs loaded first.
    std::vector<std::string> dependencies() const override;
    /// Registers the factories and the workspace conversion. Always 0.
    int init() override;
};

}  // namespace Halvoren::SpryTrack

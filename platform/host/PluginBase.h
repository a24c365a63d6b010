#pragma once

#include <string>
#include <vector>

namespace Halvoren {

/// A loaded plug-in as the host sees it. A module creates one through its exported halvorenCreatePlugin;
/// the host owns it, calls init() once before using anything it registers, and destroys it (through this
/// virtual destructor) before it closes the module.
class PluginBase {
public:
    PluginBase() = default;
    PluginBase(const PluginBase&) = delete;
    PluginBase& operator=(const PluginBase&) = delete;
    virtual ~PluginBase();

    virtual std::string vendor() const = 0;
    virtual std::string description() const = 0;
    /// Ids of the host libraries or plug-ins this one needs.
    virtual std::vector<std::string> dependencies() const = 0;
    /// Registers what the plug-in offers; 0 on success, anything else refuses the plug-in.
    virtual int init() = 0;
};

}  // namespace Halvoren

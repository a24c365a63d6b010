#include "plugin/RenameLegacyStreamAlgorithms.h"

#include <string_view>

namespace Halvoren {

namespace {

struct Renaming {
    std::string_view oldName;
    std::string_view newName;
};

constexpr Renaming kRenamings[] = {
    {"Atracsys.AtracsysTrackingStreamFusionTrack", "Atracsys.FusionTrackStream"},
    {"Atracsys.AtracsysTrackingStreamSpryTrack", "Atracsys.SpryTrackStream"},
    {"Atracsys.AtracsysTrackingStreamSpryTrack-Legacy-RC10", "Atracsys.SpryTrackLegacyRC10Stream"},
    {"Atracsys.AtracsysTrackingStreamSpryTrack-Legacy-RC13", "Atracsys.SpryTrackLegacyRC13Stream"},
};

}  // namespace

bool renameLegacyStreamAlgorithms(Properties& workspace, const Filesystem::Path& /*path*/) {
    Properties* algorithms = workspace.subProperties("Algorithms", false);
    if (algorithms == nullptr) {
        return false;
    }
    bool renamed = false;
    // Only the direct children name algorithms; deeper blocks are their settings and stay as saved.
    for (Properties* block : algorithms->subProperties()) {
        for (const Renaming& renaming : kRenamings) {
            if (block->name() == renaming.oldName) {
                block->setName(std::string(renaming.newName));
                renamed = true;
                break;
            }
        }
    }
    return renamed;
}

}  // namespace Halvoren

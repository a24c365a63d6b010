#include "Algorithm.h"

namespace Halvoren {

Algorithm::~Algorithm() = default;

void Algorithm::configureDefaults() {
    Properties current;
    configuration(&current);
    Properties defaults;
    for (const Properties::Param& param : current.params()) {
        if (param.defaultValue) {
            defaults.setParam(param.name, *param.defaultValue);
        }
    }
    configure(&defaults);
}

OwningDataList Algorithm::takeOutput() {
    return OwningDataList();
}

}  // namespace Halvoren

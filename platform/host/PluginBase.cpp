#include "PluginBase.h"

namespace Halvoren {

PluginBase::~PluginBase() = default;

}  // namespace Halvoren

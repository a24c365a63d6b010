#include "ApplicationController.h"

namespace Halvoren {

ApplicationController::~ApplicationController() = default;

}  // namespace Halvoren

#pragma once

namespace Halvoren {

/// The running application as plug-ins see it. This host hands it to every plug-in after init(); it
/// offers nothing yet beyond its identity.
class ApplicationController {
public:
    ApplicationController() = default;
    ApplicationController(const ApplicationController&) = delete;
    ApplicationController& operator=(const ApplicationController&) = delete;
    virtual ~ApplicationController();
};

}  // namespace Halvoren

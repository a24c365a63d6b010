// The simulated camera's settings file: any text must be read or refused with its line, and what is read
// must lie in the ranges the camera relies on.
#include "ftk/CameraSettings.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    const auto settings = ftksim::parseCameraSettings(input, "fuzz");
    if (!settings) {
        if (settings.error().message.rfind("fuzz:", 0) != 0) {
            std::abort();
        }
        return 0;
    }
    const auto probability = [](double p) { return p >= 0.0 && p <= 1.0; };
    if (!(settings->frameRateHz > 0.0 && settings->frameRateHz <= 1000.0) ||
        !(settings->pixelNoise >= 0.0 && settings->pixelNoise <= 10.0) || settings->imageWidth < 64 ||
        settings->imageWidth > 4096 || settings->imageHeight < 64 || settings->imageHeight > 4096 ||
        settings->strayReflections < 0 || settings->strayReflections > 100 || settings->serialNumber == 0 ||
        !probability(settings->shockWarningRate) || !probability(settings->droppedFrameRate) ||
        !probability(settings->errorStatusRate) || !probability(settings->markerOverflowRate)) {
        std::abort();
    }
    return 0;
}

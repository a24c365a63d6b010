#pragma once
// Driver helpers: device enumeration and model names, option access by name, the image integration time
// through its option id, and the driver's error text. None of them locks: callers hold the stream's
// driver lock.

#include "ftk/ftk.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace Halvoren::AtracsysHelpers {

/// Option name -> option id. When a name is reported twice, the first id is kept.
using OptionMap = std::map<std::string, std::uint32_t>;

struct DeviceInfo {
    std::uint64_t serialNumber = 0;  // 0: no device
    std::int8_t deviceType = 0;      // 127: a simulator that was refused
    std::string deviceModel;
};

std::string deviceModelName(ftkDeviceType type);
void recordDevice(std::uint64_t serialNumber, void* user, ftkDeviceType type);
void recordDeviceRejectingSimulator(std::uint64_t serialNumber, void* user, ftkDeviceType type);
DeviceInfo enumerateDevices(ftkLibrary library, bool recordAnyDevice, bool quiet);

OptionMap enumerateOptions(ftkLibrary library, std::uint64_t serialNumber);
bool setOptionFloat32(ftkLibrary library, std::uint64_t serialNumber, const OptionMap& options,
                      const std::string& name, float value);
bool setOptionData(ftkLibrary library, std::uint64_t serialNumber, const OptionMap& options,
                   const std::string& name, const std::string& value);

std::unique_ptr<std::uint32_t> imageIntegrationTimeOptionId(ftkLibrary library, std::uint64_t serialNumber);
bool readImageIntegrationTime(ftkLibrary library, std::uint64_t serialNumber, int& value);
bool writeImageIntegrationTime(ftkLibrary library, std::uint64_t serialNumber, int value);

void logDriverError(ftkLibrary library);

}  // namespace Halvoren::AtracsysHelpers

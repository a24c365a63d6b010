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

/// Any thread, no lock.
std::string deviceModelName(ftkDeviceType type);
/// Enumeration callbacks: run by the driver on the enumerating thread, into the caller's DeviceInfo.
void recordDevice(std::uint64_t serialNumber, void* user, ftkDeviceType type);
void recordDeviceRejectingSimulator(std::uint64_t serialNumber, void* user, ftkDeviceType type);
/// Control thread, driver lock held by the caller.
DeviceInfo enumerateDevices(ftkLibrary library, bool recordAnyDevice, bool quiet);

// Control thread, driver lock held by the caller.
OptionMap enumerateOptions(ftkLibrary library, std::uint64_t serialNumber);
bool setOptionFloat32(ftkLibrary library, std::uint64_t serialNumber, const OptionMap& options,
                      const std::string& name, float value);
bool setOptionData(ftkLibrary library, std::uint64_t serialNumber, const OptionMap& options,
                   const std::string& name, const std::string& value);

// Any thread that holds the driver lock: the option id is learnt once per process, and that cache is
// guarded by the same lock.
std::unique_ptr<std::uint32_t> imageIntegrationTimeOptionId(ftkLibrary library, std::uint64_t serialNumber);
bool readImageIntegrationTime(ftkLibrary library, std::uint64_t serialNumber, int& value);
bool writeImageIntegrationTime(ftkLibrary library, std::uint64_t serialNumber, int value);

/// Any thread that holds the driver lock: logs the driver's last error text.
void logDriverError(ftkLibrary library);

}  // namespace Halvoren::AtracsysHelpers

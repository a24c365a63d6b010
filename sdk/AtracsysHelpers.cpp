#include "sdk/AtracsysHelpers.h"

#include "host/Log.h"

#include <cstring>
#include <iomanip>
#include <optional>

namespace Halvoren::AtracsysHelpers {

namespace {

const std::string kHelpersCategory = "AtracsysHelpers";
const std::string kIntegrationTimeOption = "Image Integration Time";

/// Option callback of ftkEnumerateOptions: `user` is the OptionMap being filled.
void recordOption(std::uint64_t /*serialNumber*/, void* user, ftkOptionInfo* option) {
    if (user == nullptr || option == nullptr) {
        return;
    }
    // The name is meant to be terminated; never read past the record if the driver forgot.
    const std::string name(option->name, strnlen(option->name, sizeof(option->name)));
    // emplace keeps the first id when a name is reported twice.
    static_cast<OptionMap*>(user)->emplace(name, option->id);
}

void storeDevice(DeviceInfo& info, std::uint64_t serialNumber, ftkDeviceType type) {
    info.serialNumber = serialNumber;
    info.deviceType = static_cast<std::int8_t>(type);
}

}  // namespace

std::string deviceModelName(ftkDeviceType type) {
    switch (type) {
        case FTK_DEVICE_SIMULATOR:
            return "fTk simulator";
        case FTK_DEVICE_FUSIONTRACK_500:
            return "fTk 500";
        case FTK_DEVICE_FUSIONTRACK_250:
            return "fTk 250";
        case FTK_DEVICE_SPRYTRACK_180:
            return "sTk 180";
        case FTK_DEVICE_SPRYTRACK_300:
            return "sTk 300";
        default:
            return "UNKNOWN";
    }
}

void recordDevice(std::uint64_t serialNumber, void* user, ftkDeviceType type) {
    if (user == nullptr) {
        return;
    }
    auto& info = *static_cast<DeviceInfo*>(user);
    storeDevice(info, serialNumber, type);
    info.deviceModel = deviceModelName(type);
}

void recordDeviceRejectingSimulator(std::uint64_t serialNumber, void* user, ftkDeviceType type) {
    // Same guard as recordDevice: a driver handing no record must not make us write through null.
    if (user == nullptr) {
        return;
    }
    auto& info = *static_cast<DeviceInfo*>(user);
    if (type == FTK_DEVICE_SIMULATOR) {
        HALVOREN_LOG(Log::Error, "", "AtracsysTracking: This device cannot be used with the simulator!");
        type = 127;
    }
    // The serial number stays set: the caller decides by type or model whether to go on.
    storeDevice(info, serialNumber, type);
    info.deviceModel = deviceModelName(info.deviceType);
}

DeviceInfo enumerateDevices(ftkLibrary library, bool recordAnyDevice, bool quiet) {
    DeviceInfo info;
    const ftkDeviceCallback callback = recordAnyDevice ? &recordDevice : &recordDeviceRejectingSimulator;
    const ftkStatus status = ftkEnumerateDevices(library, callback, &info);
    if (status > FTK_OK || (status < FTK_OK && !quiet)) {
        logDriverError(library);
    }
    if (info.serialNumber == 0) {
        HALVOREN_LOG(Log::Error, "",
                     "AtracsysTracking: No "
                         << "SpryTrack"
                         << " device connected");
        return DeviceInfo{};
    }
    if (!quiet) {
        HALVOREN_LOG(Log::Info, "",
                     "AtracsysTracking: Detected " << info.deviceModel << ", SN 0x" << std::hex
                                                   << std::nouppercase << std::setw(16) << std::setfill('0')
                                                   << info.serialNumber);
    }
    return info;
}

OptionMap enumerateOptions(ftkLibrary library, std::uint64_t serialNumber) {
    OptionMap options;
    if (ftkEnumerateOptions(library, serialNumber, &recordOption, &options) != FTK_OK) {
        HALVOREN_LOG(Log::Error, "", "Enumerating option failed");
    }
    return options;
}

namespace {

/// The id of `name`, or nothing with the "not available" message.
std::optional<std::uint32_t> findOption(const OptionMap& options, const std::string& name) {
    const auto it = options.find(name);
    if (it == options.end()) {
        HALVOREN_LOG(Log::Error, kHelpersCategory,
                     "Failed to set value - option < " << name << " > not available");
        return std::nullopt;
    }
    return it->second;
}

}  // namespace

bool setOptionFloat32(ftkLibrary library, std::uint64_t serialNumber, const OptionMap& options,
                      const std::string& name, float value) {
    const auto id = findOption(options, name);
    if (!id) {
        return false;
    }
    return ftkSetFloat32(library, serialNumber, *id, value) == FTK_OK;
}

bool setOptionData(ftkLibrary library, std::uint64_t serialNumber, const OptionMap& options,
                   const std::string& name, const std::string& value) {
    const auto id = findOption(options, name);
    if (!id) {
        return false;
    }
    if (value.size() > FTK_DATA_BUFFER_SIZE) {
        return false;
    }
    // On the stack on purpose: no heap allocation per write; zero-filled so the tail is clean.
    ftkDataBuffer buffer;
    std::memset(&buffer, 0, sizeof(buffer));
    std::memcpy(buffer.data, value.data(), value.size());
    buffer.size = static_cast<std::uint32_t>(value.size());
    return ftkSetData(library, serialNumber, *id, &buffer) == FTK_OK;
}

std::unique_ptr<std::uint32_t> imageIntegrationTimeOptionId(ftkLibrary library, std::uint64_t serialNumber) {
    // Learnt once per process and never refreshed. Guarded by the caller's driver lock; the static
    // itself is initialised thread-safely by the language.
    static std::optional<OptionMap> cache;
    if (!cache) {
        OptionMap options;
        if (ftkEnumerateOptions(library, serialNumber, &recordOption, &options) == FTK_OK) {
            cache = std::move(options);
        }
    }
    if (!cache) {
        return nullptr;
    }
    // Insert-on-miss: a device without the option yields (and caches) id 0.
    return std::make_unique<std::uint32_t>((*cache)[kIntegrationTimeOption]);
}

bool readImageIntegrationTime(ftkLibrary library, std::uint64_t serialNumber, int& value) {
    const auto id = imageIntegrationTimeOptionId(library, serialNumber);
    if (!id) {
        return false;
    }
    std::int32_t current = 0;
    if (ftkGetInt32(library, serialNumber, *id, &current, FTK_VALUE_CURRENT) != FTK_OK) {
        return false;
    }
    value = current;
    return true;
}

bool writeImageIntegrationTime(ftkLibrary library, std::uint64_t serialNumber, int value) {
    const auto id = imageIntegrationTimeOptionId(library, serialNumber);
    if (!id) {
        return false;
    }
    return ftkSetInt32(library, serialNumber, *id, value) == FTK_OK;
}

void logDriverError(ftkLibrary library) {
    char text[FTK_ERROR_TEXT_SIZE] = {};
    if (ftkGetLastErrorString(library, sizeof(text), text) == FTK_OK) {
        text[sizeof(text) - 1] = '\0';  // never trust the driver to terminate
        HALVOREN_LOG(Log::Error, "", "AtracsysTracking: " << text);
    } else {
        HALVOREN_LOG(Log::Error, "",
                     "AtracsysTracking: Could not retrieve error condition due to uninitialised library "
                     "handle.");
    }
}

}  // namespace Halvoren::AtracsysHelpers

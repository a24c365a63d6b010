#pragma once
// The stream's session with the driver: the library, the opened device and the frame, behind one lock.

#include "sdk/AtracsysHelpers.h"

#include "ftk/ftk.h"

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace Halvoren::SpryTrack {

/// Lock order of the plug-in: the driver lock (`mutex`) first, then the instrument registry's lock. Code
/// that holds the registry's lock never takes the driver lock.
struct DriverConnection {
    ftkFrame* frame = nullptr;
    std::int32_t consecutiveErrors = 0;  // worker thread only
    std::set<std::int32_t> errorCodes;   // worker thread only
    // Serialises every driver call of the stream and guards the fields below and `frame`. Not
    // recursive; taken before the registry's lock.
    std::mutex mutex;
    ftkLibrary library = nullptr;
    std::uint64_t serialNumber = 0;
    std::int8_t deviceType = 0;
    std::string deviceModel;
    AtracsysHelpers::OptionMap options;
};

}  // namespace Halvoren::SpryTrack

#pragma once

#include "plugin/CreateStreamIoAlgorithm.h"
#include "stream/AtracsysTrackingStream.h"

namespace Halvoren {

/// The algorithm that makes the Atracsys tracking stream.
using AtracsysStreamAlgorithm = CreateStreamIoAlgorithm<SpryTrack::AtracsysTrackingStream, 0, 0>;

}  // namespace Halvoren

#pragma once
// A recording opened for a test that goes on to look at it: the reader, or null with the reason kept for
// the test's message; and its tracking header the same way.

#include "sequence/SequenceFile.h"
#include "sequence/TrackingCodec.h"

#include <memory>
#include <string>

namespace TestSupport {

inline std::unique_ptr<Halvoren::Sequence::SequenceReader> openReader(
    const std::string& path, std::string& error,
    const Halvoren::Sequence::SequenceReaderLimits& limits = Halvoren::Sequence::SequenceReaderLimits()) {
    auto opened = Halvoren::Sequence::SequenceReader::open(path, limits);
    if (!opened) {
        error = opened.error().message;
        return nullptr;
    }
    return std::move(*opened);
}

/// The header the fields describe into `header` (an empty one when they describe none), or false with
/// the reason in `error`.
inline bool readHeader(const Halvoren::Sequence::Fields& fields, Halvoren::Sequence::RecordingHeader& header,
                       std::string& error) {
    auto read = Halvoren::Sequence::recordingOf(fields);
    header = read ? *read : Halvoren::Sequence::RecordingHeader();
    if (!read) {
        error = read.error().message;
    }
    return read.hasValue();
}

}  // namespace TestSupport

#pragma once

#include "DataList.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Halvoren {

class Stream;

/// Base of everything the host handles as data.
class Data {
public:
    Data() = default;
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;
    virtual ~Data() = default;
};

/// Data made of other data (a stream group).
class CompoundData : public Data {
public:
    virtual DataList children() const = 0;
};

/// Extra information attached to stream data.
class DataComponentBase {
public:
    virtual ~DataComponentBase() = default;
};

template <typename Derived>
class DataComponent : public DataComponentBase {};

/// Owning list of data components.
class DataComponentList {
public:
    void add(std::unique_ptr<DataComponentBase> component) { m_components.push_back(std::move(component)); }
    std::size_t size() const { return m_components.size(); }
    bool empty() const { return m_components.empty(); }
    DataComponentBase* at(std::size_t i) const { return m_components.at(i).get(); }
    /// The first component of the type, or null.
    template <typename T>
    const T* get() const {
        for (const auto& c : m_components) {
            if (auto* t = dynamic_cast<const T*>(c.get())) {
                return t;
            }
        }
        return nullptr;
    }

private:
    std::vector<std::unique_ptr<DataComponentBase>> m_components;
};

/// One datum a stream delivers; it knows the stream it belongs to and carries two time stamps
/// (milliseconds since the epoch): when the device took it and when the host received it.
class StreamData {
public:
    explicit StreamData(const Stream* stream) : m_stream(stream) {}
    virtual ~StreamData() = default;

    const Stream* stream() const { return m_stream; }
    DataComponentList& components() { return m_components; }
    const DataComponentList& components() const { return m_components; }

    std::uint64_t timestampDevice() const { return m_timestampDevice; }
    std::uint64_t timestampArrival() const { return m_timestampArrival; }
    void setTimestampDevice(std::uint64_t t) { m_timestampDevice = t; }
    void setTimestampArrival(std::uint64_t t) { m_timestampArrival = t; }

private:
    const Stream* m_stream;
    DataComponentList m_components;
    std::uint64_t m_timestampDevice = 0;
    std::uint64_t m_timestampArrival = 0;
};

/// One frame of a stream group: the main stream's datum (may be empty) and the substreams' data.
class CompoundStreamData {
public:
    CompoundStreamData(std::shared_ptr<const StreamData> main,
                       std::vector<std::shared_ptr<const StreamData>> substreams = {})
        : m_main(std::move(main)), m_substreams(std::move(substreams)) {}

    const std::shared_ptr<const StreamData>& proxyStreamData() const { return m_main; }
    const std::vector<std::shared_ptr<const StreamData>>& substreamsStreamData() const { return m_substreams; }

private:
    std::shared_ptr<const StreamData> m_main;
    std::vector<std::shared_ptr<const StreamData>> m_substreams;
};

}  // namespace Halvoren

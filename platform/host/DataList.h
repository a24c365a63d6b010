#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace Halvoren {

class Data;

/// Ordered list of data objects that it does not own.
class DataList {
public:
    using const_iterator = std::vector<Data*>::const_iterator;

    DataList() = default;
    DataList(std::initializer_list<Data*> items) : m_items(items) {}
    /// From any range of pointers to data (for example a list of streams).
    template <typename Iterator>
    DataList(Iterator first, Iterator last) : m_items(first, last) {}

    void add(Data* data);
    /// Removes every occurrence; false when it was not listed.
    bool remove(Data* data);
    void clear() { m_items.clear(); }

    std::size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    /// The element at the index, or null when out of range.
    Data* get(std::size_t index) const;
    /// The elements of the type, in order.
    template <typename T>
    std::vector<T*> getOfType() const;

    const_iterator begin() const { return m_items.begin(); }
    const_iterator end() const { return m_items.end(); }

    bool operator==(const DataList& other) const { return m_items == other.m_items; }
    bool operator!=(const DataList& other) const { return !(*this == other); }

private:
    std::vector<Data*> m_items;
};

template <typename T>
std::vector<T*> DataList::getOfType() const {
    std::vector<T*> result;
    for (Data* data : m_items) {
        if (auto* t = dynamic_cast<T*>(data)) {
            result.push_back(t);
        }
    }
    return result;
}

}  // namespace Halvoren

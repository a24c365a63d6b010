#pragma once

#include "Data.h"
#include "DataList.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace Halvoren {

/// Ordered list of data objects that it owns: what an algorithm hands over as its output.
class OwningDataList {
public:
    OwningDataList() = default;
    OwningDataList(OwningDataList&&) noexcept = default;
    OwningDataList& operator=(OwningDataList&&) noexcept = default;
    ~OwningDataList();

    /// Takes ownership; a null datum is ignored.
    void add(std::unique_ptr<Data> data);

    std::size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    /// The element at the index, or null when out of range.
    Data* get(std::size_t index) const;
    /// A non-owning view of the same elements, in order.
    DataList dataList() const;
    /// Hands the element at the index to the caller and removes it from the list; null when out of range.
    std::unique_ptr<Data> take(std::size_t index);

private:
    std::vector<std::unique_ptr<Data>> m_items;
};

}  // namespace Halvoren

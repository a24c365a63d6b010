#include "OwningDataList.h"

#include "Data.h"

namespace Halvoren {

OwningDataList::~OwningDataList() = default;

void OwningDataList::add(std::unique_ptr<Data> data) {
    if (data) {
        m_items.push_back(std::move(data));
    }
}

Data* OwningDataList::get(std::size_t index) const {
    return index < m_items.size() ? m_items[index].get() : nullptr;
}

DataList OwningDataList::dataList() const {
    DataList list;
    for (const auto& item : m_items) {
        list.add(item.get());
    }
    return list;
}

std::unique_ptr<Data> OwningDataList::take(std::size_t index) {
    if (index >= m_items.size()) {
        return nullptr;
    }
    std::unique_ptr<Data> data = std::move(m_items[index]);
    m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(index));
    return data;
}

}  // namespace Halvoren

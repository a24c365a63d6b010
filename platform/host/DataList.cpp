#include "DataList.h"

#include <algorithm>

namespace Halvoren {

void DataList::add(Data* data) {
    m_items.push_back(data);
}

bool DataList::remove(Data* data) {
    const auto end = std::remove(m_items.begin(), m_items.end(), data);
    const bool found = end != m_items.end();
    m_items.erase(end, m_items.end());
    return found;
}

Data* DataList::get(std::size_t index) const {
    return index < m_items.size() ? m_items[index] : nullptr;
}

}  // namespace Halvoren

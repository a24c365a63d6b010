#include "Selection.h"

#include <algorithm>

namespace Halvoren {

Selection Selection::setAll(int count) {
    Selection selection;
    for (int i = 0; i < count; ++i) {
        selection.m_indices.push_back(i);
    }
    return selection;
}

void Selection::select(int index) {
    const auto at = std::lower_bound(m_indices.begin(), m_indices.end(), index);
    if (index >= 0 && (at == m_indices.end() || *at != index)) {
        m_indices.insert(at, index);
    }
}

bool Selection::isSelected(int index) const {
    return std::binary_search(m_indices.begin(), m_indices.end(), index);
}

}  // namespace Halvoren

#pragma once

#include <vector>

namespace Halvoren {

/// Which elements of a data set (for example the images of an image set) are selected.
class Selection {
public:
    Selection() = default;
    /// Every index from 0 to count - 1.
    static Selection setAll(int count);

    /// Adds the index once; negative indices are ignored.
    void select(int index);
    bool isSelected(int index) const;
    /// Selected indices, ascending.
    const std::vector<int>& indices() const { return m_indices; }
    int count() const { return static_cast<int>(m_indices.size()); }
    bool isEmpty() const { return m_indices.empty(); }

private:
    std::vector<int> m_indices;
};

}  // namespace Halvoren

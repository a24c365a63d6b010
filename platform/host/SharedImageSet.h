#pragma once

#include "Data.h"
#include "Image.h"
#include "Selection.h"

#include <memory>
#include <vector>

namespace Halvoren {

/// A set of shared images with a selection, as views show it. Not thread-safe: whoever shows it in a
/// view uses it on the GUI thread only.
class SharedImageSet : public Data {
public:
    SharedImageSet() = default;

    int size() const { return static_cast<int>(m_images.size()); }
    /// Appends the image (shared, not copied); a null image is ignored.
    void add(std::shared_ptr<SharedImage> image);
    /// The image at the index, or null when out of range.
    std::shared_ptr<SharedImage> get(int index = 0) const;
    /// The image at the index without sharing it, or null when out of range.
    SharedImage* img(int index = 0) const;

    void setSelection(const Selection& selection) { m_selection = selection; }
    const Selection& selection() const { return m_selection; }

private:
    std::vector<std::shared_ptr<SharedImage>> m_images;
    Selection m_selection;
};

}  // namespace Halvoren

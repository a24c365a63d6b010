#include "SharedImageSet.h"

namespace Halvoren {

void SharedImageSet::add(std::shared_ptr<SharedImage> image) {
    if (image) {
        m_images.push_back(std::move(image));
    }
}

std::shared_ptr<SharedImage> SharedImageSet::get(int index) const {
    return index >= 0 && index < size() ? m_images[static_cast<std::size_t>(index)] : nullptr;
}

SharedImage* SharedImageSet::img(int index) const {
    return index >= 0 && index < size() ? m_images[static_cast<std::size_t>(index)].get() : nullptr;
}

}  // namespace Halvoren

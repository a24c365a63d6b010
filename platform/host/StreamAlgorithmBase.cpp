#include "StreamAlgorithmBase.h"

#include "Stream.h"
#include "StreamGroupBase.h"

#include <memory>

namespace Halvoren {

StreamAlgorithmBase::~StreamAlgorithmBase() = default;

StreamGroupBase* StreamAlgorithmBase::dataGroup() const {
    return dynamic_cast<StreamGroupBase*>(stream());
}

OwningDataList StreamAlgorithmBase::takeOutput() {
    OwningDataList output;
    Stream* current = stream();
    if (current == nullptr || m_streamOwnershipTaken) {
        return output;
    }
    output.add(std::unique_ptr<Data>(current));
    m_streamOwnershipTaken = true;
    return output;
}

}  // namespace Halvoren

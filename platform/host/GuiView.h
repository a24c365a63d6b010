#pragma once

#include "DataList.h"

namespace Halvoren {
namespace GUI {

/// A view that shows a list of data objects, which it does not own. GUI thread only.
class View {
public:
    virtual ~View() = default;
    /// Shows the data instead of what was shown; the objects must outlive their time in the view.
    virtual void setVisibleData(const DataList& data) = 0;
    virtual const DataList& visibleData() const = 0;
};

}  // namespace GUI
}  // namespace Halvoren

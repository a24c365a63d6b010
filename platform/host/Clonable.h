#pragma once

namespace Halvoren {

/// Base of objects that can be deep-copied through a base pointer.
class Clonable {
public:
    virtual ~Clonable() = default;
    /// A new heap copy; the caller owns it.
    virtual Clonable* clone() const = 0;
};

}  // namespace Halvoren

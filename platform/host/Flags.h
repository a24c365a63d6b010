#pragma once

#include <cstdint>
#include <type_traits>

namespace Halvoren {

/// A set of bits of an enumeration whose enumerators are single bits.
template <typename T>
class Flags {
public:
    using Underlying = std::uint32_t;

    constexpr Flags() = default;
    constexpr Flags(T bit) : m_value(static_cast<Underlying>(bit)) {}
    constexpr explicit Flags(Underlying value) : m_value(value) {}

    constexpr Underlying value() const { return m_value; }
    constexpr bool test(T bit) const { return (m_value & static_cast<Underlying>(bit)) != 0; }
    constexpr bool isEmpty() const { return m_value == 0; }
    constexpr explicit operator bool() const { return m_value != 0; }

    constexpr Flags& operator|=(Flags other) {
        m_value |= other.m_value;
        return *this;
    }
    constexpr Flags operator|(Flags other) const { return Flags(m_value | other.m_value); }
    constexpr Flags operator&(Flags other) const { return Flags(m_value & other.m_value); }
    constexpr bool operator==(Flags other) const { return m_value == other.m_value; }
    constexpr bool operator!=(Flags other) const { return m_value != other.m_value; }

private:
    Underlying m_value = 0;
};

}  // namespace Halvoren

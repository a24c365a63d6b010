#pragma once

#include "Configurable.h"
#include "Log.h"

#include <cmath>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

namespace Halvoren {

namespace detail {
/// How a parameter value is stored in a Properties block: enumerations as integers.
template <typename T, typename = void>
struct PropertyValue {
    using Stored = T;
};
template <typename T>
struct PropertyValue<T, std::enable_if_t<std::is_enum_v<T>>> {
    using Stored = int;
};

/// Whether a new value is the same as the old one. NaN is the same as NaN: otherwise storing NaN again
/// would report a change every time.
template <typename T>
bool sameValue(const T& a, const T& b) {
    if constexpr (std::is_floating_point_v<T>) {
        if (std::isnan(a) && std::isnan(b)) {
            return true;
        }
    }
    return a == b;
}
}  // namespace detail

/// A typed parameter with a value and an optional default, registered with a Configurable.
template <typename T>
class Parameter : public ParameterBase {
public:
    using Stored = typename detail::PropertyValue<T>::Stored;

    Parameter(std::string name, T value, Configurable* owner, std::vector<std::string> alternativeNames = {})
        : ParameterBase(std::move(name), owner, std::move(alternativeNames)),
          m_value(value),
          m_default(value) {}

    /// A copy taken under the parameter's lock: a worker thread may read while the control thread sets.
    T value() const {
        std::lock_guard<std::mutex> lock(m_valueMutex);
        return m_value;
    }
    operator T() const { return value(); }
    /// Stores the value; emits the change signals only when it differs.
    void setValue(const T& value) {
        {
            std::lock_guard<std::mutex> lock(m_valueMutex);
            if (detail::sameValue(m_value, value)) {
                return;
            }
            m_value = value;
        }
        notifyChanged();
    }
    Parameter& operator=(const T& value) {
        setValue(value);
        return *this;
    }
    const std::optional<T>& defaultValue() const { return m_default; }
    void setDefault(std::optional<T> value) { m_default = std::move(value); }

    void configure(const Properties* p) override {
        if (p == nullptr) {
            return;
        }
        Stored stored{};
        if (p->param(name(), stored)) {
            setValue(static_cast<T>(stored));
            return;
        }
        for (const std::string& older : alternativeNames()) {
            if (p->param(older, stored)) {
                setValue(static_cast<T>(stored));
                HALVOREN_LOG(Log::Warning, "Core.Parameter",
                             "Using deprecated parameter name '" << older << "'. Please use: '" << name()
                                                                 << "' instead.");
                return;
            }
        }
    }

    void configuration(Properties* p) const override {
        if (p == nullptr) {
            return;
        }
        if (m_default) {
            p->setParam(name(), static_cast<Stored>(value()), static_cast<Stored>(*m_default));
        } else {
            p->setParam(name(), static_cast<Stored>(value()));
        }
        if (type() != 0) {
            p->setParamType(name(), type());
        }
        Properties::Attributes list(attributes().begin(), attributes().end());
        p->setParamAttributes(name(), list);
    }

private:
    mutable std::mutex m_valueMutex;  // guards m_value only; never held while signals are emitted
    T m_value;
    std::optional<T> m_default;
};

}  // namespace Halvoren

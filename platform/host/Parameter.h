#pragma once

#include "Configurable.h"
#include "Log.h"

#include <cmath>
#include <map>
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

/// The number an attribute ("min", "max") holds; false when it has none or holds no number.
bool numberAttribute(const std::map<std::string, std::string>& attributes, const char* key, double& out);

/// Why a stored value breaks the parameter's "min", "max" or "values" attribute (a list of the names of
/// the indices 0, 1, ...), or an empty text when it keeps them. Only numbers are checked.
template <typename S>
std::string refusal(const S& value, const std::map<std::string, std::string>& attributes) {
    if constexpr (std::is_arithmetic_v<S> && !std::is_same_v<S, bool>) {
        const double number = static_cast<double>(value);
        double limit = 0.0;
        // Written so that NaN is refused too.
        if (numberAttribute(attributes, "min", limit) && !(number >= limit)) {
            return "below its minimum " + attributes.at("min");
        }
        if (numberAttribute(attributes, "max", limit) && !(number <= limit)) {
            return "above its maximum " + attributes.at("max");
        }
        if constexpr (std::is_integral_v<S>) {
            const auto values = attributes.find("values");
            if (values != attributes.end() && !values->second.empty()) {
                long long count = 1;
                for (char c : values->second) {
                    count += c == ',' ? 1 : 0;
                }
                if (static_cast<long long>(value) < 0 || static_cast<long long>(value) >= count) {
                    return "not the index of one of its " + std::to_string(count) + " values";
                }
            }
        }
    }
    return std::string();
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

    /// Reads the value under the parameter's name or, failing that, an older one. A value outside the
    /// "min"/"max" range or the "values" list is refused with a warning that names the parameter and the
    /// line of the file it came from; the parameter keeps its value.
    void configure(const Properties* p) override {
        if (p == nullptr) {
            return;
        }
        Stored stored{};
        if (p->param(name(), stored)) {
            accept(*p, name(), stored);
            return;
        }
        for (const std::string& older : alternativeNames()) {
            if (p->param(older, stored)) {
                accept(*p, older, stored);
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
    void accept(const Properties& p, const std::string& readAs, const Stored& stored) {
        const std::string why = detail::refusal(stored, attributes());
        if (why.empty()) {
            setValue(static_cast<T>(stored));
            return;
        }
        const Properties::Param* read = p.findParam(readAs);
        HALVOREN_LOG(Log::Warning, "Core.Parameter",
                     "Refusing value " << read->value << " of parameter '" << name() << "'"
                                       << (read->line > 0 ? " at line " + std::to_string(read->line) : "")
                                       << ": " << why);
    }

    mutable std::mutex m_valueMutex;  // guards m_value only; never held while signals are emitted
    T m_value;
    std::optional<T> m_default;
};

}  // namespace Halvoren

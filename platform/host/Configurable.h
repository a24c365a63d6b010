#pragma once

#include "Properties.h"
#include "Signal.h"

#include <map>
#include <string>
#include <vector>

namespace Halvoren {

class Configurable;

/// Untyped part of a parameter: name, attributes (kept in key order), parameter-type code, older names.
class ParameterBase {
public:
    ParameterBase(std::string name, Configurable* owner, std::vector<std::string> alternativeNames = {});
    ParameterBase(const ParameterBase&) = delete;
    ParameterBase& operator=(const ParameterBase&) = delete;
    /// Unregisters from the owner.
    virtual ~ParameterBase();

    virtual void configure(const Properties* p) = 0;
    virtual void configuration(Properties* p) const = 0;
    virtual const std::string& name() const { return m_name; }

    void setAttribute(const std::string& key, const std::string& value) { m_attributes[key] = value; }
    const std::map<std::string, std::string>& attributes() const { return m_attributes; }
    void setType(int type) { m_type = type; }
    int type() const { return m_type; }
    const std::vector<std::string>& alternativeNames() const { return m_alternativeNames; }

    /// Emitted after the value changed.
    SignalImpl<> signalValueChanged;

protected:
    /// Emits signalValueChanged and the owner's signalParametersChanged.
    void notifyChanged();

private:
    friend class Configurable;
    std::string m_name;
    Configurable* m_owner;  // null once the owner is gone
    std::vector<std::string> m_alternativeNames;
    std::map<std::string, std::string> m_attributes;
    int m_type = 0;
};

/// An object whose settings are parameters written to and read from a Properties block, in
/// registration order.
class Configurable {
public:
    Configurable() = default;
    Configurable(const Configurable&) = delete;
    Configurable& operator=(const Configurable&) = delete;
    /// Parameters that outlive the object forget it.
    virtual ~Configurable();

    /// Every registered parameter reads itself; missing entries leave values unchanged.
    virtual void configure(const Properties* p);
    /// Every registered parameter writes itself, in registration order.
    virtual void configuration(Properties* p) const;

    void registerParameter(ParameterBase* parameter);
    void unregisterParameter(ParameterBase* parameter);
    const std::vector<ParameterBase*>& parameters() const { return m_parameters; }
    ParameterBase* parameter(const std::string& name) const;

    /// Emitted whenever a registered parameter's value changed.
    SignalImpl<> signalParametersChanged;

private:
    std::vector<ParameterBase*> m_parameters;
};

}  // namespace Halvoren

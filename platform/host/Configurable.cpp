#include "Configurable.h"

#include <algorithm>

namespace Halvoren {

ParameterBase::ParameterBase(std::string name, Configurable* owner, std::vector<std::string> alternativeNames)
    : m_name(std::move(name)), m_owner(owner), m_alternativeNames(std::move(alternativeNames)) {
    if (m_owner != nullptr) {
        m_owner->registerParameter(this);
    }
}

ParameterBase::~ParameterBase() {
    if (m_owner != nullptr) {
        m_owner->unregisterParameter(this);
    }
}

void ParameterBase::notifyChanged() {
    signalValueChanged.emitSignal();
    if (m_owner != nullptr) {
        m_owner->signalParametersChanged.emitSignal();
    }
}

Configurable::~Configurable() {
    for (ParameterBase* parameter : m_parameters) {
        if (parameter->m_owner == this) {
            parameter->m_owner = nullptr;
        }
    }
}

void Configurable::configure(const Properties* p) {
    if (p == nullptr) {
        return;
    }
    // A change signal's receiver may add or remove parameters: walk a copy, skip what is gone.
    const std::vector<ParameterBase*> parameters = m_parameters;
    for (ParameterBase* parameter : parameters) {
        if (std::find(m_parameters.begin(), m_parameters.end(), parameter) != m_parameters.end()) {
            parameter->configure(p);
        }
    }
}

void Configurable::configuration(Properties* p) const {
    if (p == nullptr) {
        return;
    }
    for (const ParameterBase* parameter : m_parameters) {
        parameter->configuration(p);
    }
}

void Configurable::registerParameter(ParameterBase* parameter) {
    if (parameter == nullptr ||
        std::find(m_parameters.begin(), m_parameters.end(), parameter) != m_parameters.end()) {
        return;
    }
    m_parameters.push_back(parameter);
}

void Configurable::unregisterParameter(ParameterBase* parameter) {
    m_parameters.erase(std::remove(m_parameters.begin(), m_parameters.end(), parameter), m_parameters.end());
}

ParameterBase* Configurable::parameter(const std::string& name) const {
    for (ParameterBase* parameter : m_parameters) {
        if (parameter->name() == name) {
            return parameter;
        }
    }
    return nullptr;
}

}  // namespace Halvoren

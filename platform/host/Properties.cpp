#include "Properties.h"

#include "text/Text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>

namespace Halvoren {

namespace {

// Values are text in a fixed, locale-independent form: the C++ character conversions ignore the C
// locale that a Qt application may have set.

/// Shortest text that reads back to exactly the same value; "nan", "inf" and "-inf" for the specials.
template <typename T>
std::string numberText(T value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, result.ptr);
}

// Whole-text conversions of the value without the blanks at either end; trailing characters, overflow
// or an empty text fail.
bool parseNumber(const std::string& text, int& out) {
    return Text::parseInteger(Text::trim(text), out);
}
bool parseNumber(const std::string& text, unsigned& out) {
    return Text::parseUnsigned(Text::trim(text), out);
}
bool parseNumber(const std::string& text, long long& out) {
    std::int64_t value = 0;
    if (!Text::parseInteger(Text::trim(text), value)) {
        return false;
    }
    out = value;
    return true;
}
bool parseNumber(const std::string& text, float& out) {
    return Text::parseNumber(Text::trim(text), out);
}
bool parseNumber(const std::string& text, double& out) {
    return Text::parseNumber(Text::trim(text), out);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool operator==(const Properties::Param& a, const Properties::Param& b) {
    return a.name == b.name && a.value == b.value && a.defaultValue == b.defaultValue && a.type == b.type &&
           a.attributes == b.attributes;
}

}  // namespace

Properties::Properties(std::string name) : m_name(std::move(name)) {}

Properties::Properties(const Properties& other)
    : m_name(other.m_name), m_attributes(other.m_attributes), m_params(other.m_params) {
    m_children.reserve(other.m_children.size());
    for (const auto& child : other.m_children) {
        m_children.push_back(std::make_unique<Properties>(*child));
    }
}

Properties& Properties::operator=(const Properties& other) {
    if (this != &other) {
        // Copy first: the other block may be one of our own descendants.
        Properties copy(other);
        m_name = std::move(copy.m_name);
        m_attributes = std::move(copy.m_attributes);
        m_params = std::move(copy.m_params);
        m_children = std::move(copy.m_children);
    }
    return *this;
}

Properties::~Properties() = default;

void Properties::setParam(const std::string& name, const std::string& value) {
    if (Param* existing = findParam(name)) {
        existing->value = value;
        existing->line = 0;
        return;
    }
    Param param;
    param.name = name;
    param.value = value;
    m_params.push_back(std::move(param));
}

void Properties::setParam(const std::string& name, const char* value) {
    setParam(name, std::string(value != nullptr ? value : ""));
}

void Properties::setParam(const std::string& name, bool value) {
    setParam(name, std::string(value ? "true" : "false"));
}

void Properties::setParam(const std::string& name, int value) {
    setParam(name, numberText(value));
}

void Properties::setParam(const std::string& name, unsigned value) {
    setParam(name, numberText(value));
}

void Properties::setParam(const std::string& name, long long value) {
    setParam(name, numberText(value));
}

void Properties::setParam(const std::string& name, float value) {
    setParam(name, numberText(value));
}

void Properties::setParam(const std::string& name, double value) {
    setParam(name, numberText(value));
}

bool Properties::param(const std::string& name, std::string& out) const {
    const Param* p = findParam(name);
    if (p == nullptr) {
        return false;
    }
    out = p->value;
    return true;
}

bool Properties::param(const std::string& name, bool& out) const {
    const Param* p = findParam(name);
    if (p == nullptr) {
        return false;
    }
    const std::string_view text = Text::trim(p->value);
    if (equalsIgnoringCase(text, "true") || text == "1") {
        out = true;
        return true;
    }
    if (equalsIgnoringCase(text, "false") || text == "0") {
        out = false;
        return true;
    }
    return false;
}

bool Properties::param(const std::string& name, int& out) const {
    const Param* p = findParam(name);
    return p != nullptr && parseNumber(p->value, out);
}

bool Properties::param(const std::string& name, unsigned& out) const {
    const Param* p = findParam(name);
    return p != nullptr && parseNumber(p->value, out);
}

bool Properties::param(const std::string& name, long long& out) const {
    const Param* p = findParam(name);
    return p != nullptr && parseNumber(p->value, out);
}

bool Properties::param(const std::string& name, float& out) const {
    const Param* p = findParam(name);
    return p != nullptr && parseNumber(p->value, out);
}

bool Properties::param(const std::string& name, double& out) const {
    const Param* p = findParam(name);
    return p != nullptr && parseNumber(p->value, out);
}

bool Properties::hasParam(const std::string& name) const {
    return findParam(name) != nullptr;
}

bool Properties::removeParam(const std::string& name) {
    const auto it =
        std::find_if(m_params.begin(), m_params.end(), [&](const Param& p) { return p.name == name; });
    if (it == m_params.end()) {
        return false;
    }
    m_params.erase(it);
    return true;
}

void Properties::setParamType(const std::string& name, int type) {
    if (Param* p = findParam(name)) {
        p->type = type;
    }
}

int Properties::paramType(const std::string& name) const {
    const Param* p = findParam(name);
    return p != nullptr ? p->type : 0;
}

void Properties::setParamAttributes(const std::string& name, const Attributes& attributes) {
    if (Param* p = findParam(name)) {
        p->attributes = attributes;
    }
}

Properties::Attributes Properties::paramAttributes(const std::string& name) const {
    const Param* p = findParam(name);
    return p != nullptr ? p->attributes : Attributes();
}

std::optional<std::string> Properties::paramDefault(const std::string& name) const {
    const Param* p = findParam(name);
    return p != nullptr ? p->defaultValue : std::nullopt;
}

const Properties::Param* Properties::findParam(const std::string& name) const {
    for (const Param& p : m_params) {
        if (p.name == name) {
            return &p;
        }
    }
    return nullptr;
}

Properties::Param* Properties::findParam(const std::string& name) {
    return const_cast<Param*>(static_cast<const Properties*>(this)->findParam(name));
}

Properties* Properties::addSubProperties(const std::string& name) {
    m_children.push_back(std::make_unique<Properties>(name));
    return m_children.back().get();
}

Properties* Properties::subProperties(const std::string& name, bool create) {
    for (const auto& child : m_children) {
        if (child->name() == name) {
            return child.get();
        }
    }
    return create ? addSubProperties(name) : nullptr;
}

const Properties* Properties::subProperties(const std::string& name) const {
    for (const auto& child : m_children) {
        if (child->name() == name) {
            return child.get();
        }
    }
    return nullptr;
}

std::vector<Properties*> Properties::subProperties() const {
    std::vector<Properties*> result;
    result.reserve(m_children.size());
    for (const auto& child : m_children) {
        result.push_back(child.get());
    }
    return result;
}

bool Properties::removeSubProperties(const Properties* block) {
    const auto it =
        std::find_if(m_children.begin(), m_children.end(),
                     [&](const std::unique_ptr<Properties>& child) { return child.get() == block; });
    if (it == m_children.end()) {
        return false;
    }
    m_children.erase(it);
    return true;
}

void Properties::copyFrom(const Properties& other) {
    // Copy first: the other block may be this one or one of its ancestors or descendants.
    const Properties copy(other);
    for (const Param& param : copy.m_params) {
        if (Param* existing = findParam(param.name)) {
            *existing = param;
        } else {
            m_params.push_back(param);
        }
    }
    for (const auto& child : copy.m_children) {
        m_children.push_back(std::make_unique<Properties>(*child));
    }
}

void Properties::clear() {
    m_attributes.clear();
    m_params.clear();
    m_children.clear();
}

bool Properties::operator==(const Properties& other) const {
    if (m_name != other.m_name || m_attributes != other.m_attributes ||
        m_params.size() != other.m_params.size() || m_children.size() != other.m_children.size()) {
        return false;
    }
    for (std::size_t i = 0; i < m_params.size(); ++i) {
        if (!(m_params[i] == other.m_params[i])) {
            return false;
        }
    }
    for (std::size_t i = 0; i < m_children.size(); ++i) {
        if (*m_children[i] != *other.m_children[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace Halvoren

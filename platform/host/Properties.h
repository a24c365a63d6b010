#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Halvoren {

/// Ordered tree of named blocks. A block holds parameters (named values kept as text, with an optional
/// default, a parameter-type code and attributes) and sub-blocks, both in insertion order.
class Properties {
public:
    using Attributes = std::vector<std::pair<std::string, std::string>>;

    struct Param {
        std::string name;
        std::string value;
        std::optional<std::string> defaultValue;
        int type = 0;
        Attributes attributes;
        /// Line of the workspace file the value was read from; 0 when it was not read from a file (or
        /// was set since). Not part of the parameter's content: comparisons ignore it.
        int line = 0;
    };

    explicit Properties(std::string name = std::string());
    Properties(const Properties& other);
    Properties& operator=(const Properties& other);
    ~Properties();

    const std::string& name() const { return m_name; }
    void setName(std::string name) { m_name = std::move(name); }

    /// Sets a parameter; an existing one keeps its position, type and attributes.
    void setParam(const std::string& name, const std::string& value);
    void setParam(const std::string& name, const char* value);
    void setParam(const std::string& name, bool value);
    void setParam(const std::string& name, int value);
    void setParam(const std::string& name, unsigned value);
    void setParam(const std::string& name, long long value);
    void setParam(const std::string& name, float value);
    void setParam(const std::string& name, double value);
    /// Value and default in one call.
    template <typename T>
    void setParam(const std::string& name, const T& value, const T& defaultValue) {
        setParam(name, value);
        Properties tmp;
        tmp.setParam(name, defaultValue);
        findParam(name)->defaultValue = tmp.findParam(name)->value;
    }

    /// Reads a parameter. False when it is missing or its text does not convert; out is then unchanged.
    bool param(const std::string& name, std::string& out) const;
    bool param(const std::string& name, bool& out) const;
    bool param(const std::string& name, int& out) const;
    bool param(const std::string& name, unsigned& out) const;
    bool param(const std::string& name, long long& out) const;
    bool param(const std::string& name, float& out) const;
    bool param(const std::string& name, double& out) const;
    bool hasParam(const std::string& name) const;
    bool removeParam(const std::string& name);

    void setParamType(const std::string& name, int type);
    int paramType(const std::string& name) const;
    /// Replaces the attributes of the parameter (the parameter must exist).
    void setParamAttributes(const std::string& name, const Attributes& attributes);
    Attributes paramAttributes(const std::string& name) const;
    std::optional<std::string> paramDefault(const std::string& name) const;

    /// Attributes of the block itself.
    void setAttributes(const Attributes& attributes) { m_attributes = attributes; }
    const Attributes& attributes() const { return m_attributes; }

    const std::vector<Param>& params() const { return m_params; }
    const Param* findParam(const std::string& name) const;
    Param* findParam(const std::string& name);

    /// Appends a new sub-block (names may repeat) and returns it; this block owns it.
    Properties* addSubProperties(const std::string& name);
    /// The first direct sub-block with the name; with create true a missing one is added.
    Properties* subProperties(const std::string& name, bool create = false);
    const Properties* subProperties(const std::string& name) const;
    /// The direct sub-blocks in order.
    std::vector<Properties*> subProperties() const;
    bool removeSubProperties(const Properties* block);

    /// Appends copies of the other block's parameters (replacing equal names) and sub-blocks.
    void copyFrom(const Properties& other);
    void clear();
    bool isEmpty() const { return m_params.empty() && m_children.empty(); }

    bool operator==(const Properties& other) const;
    bool operator!=(const Properties& other) const { return !(*this == other); }

private:
    std::string m_name;
    Attributes m_attributes;
    std::vector<Param> m_params;
    std::vector<std::unique_ptr<Properties>> m_children;
};

}  // namespace Halvoren

#pragma once

#include <string>

namespace Halvoren {

/// Makes the annotations a plug-in draws on data. None of this host's plug-ins offers one; the type is
/// here so that a plug-in can hand over an empty one.
class DataAnnotationFactory {
public:
    explicit DataAnnotationFactory(std::string name) : m_name(std::move(name)) {}
    DataAnnotationFactory(const DataAnnotationFactory&) = delete;
    DataAnnotationFactory& operator=(const DataAnnotationFactory&) = delete;
    virtual ~DataAnnotationFactory();

    const std::string& name() const { return m_name; }

private:
    std::string m_name;
};

}  // namespace Halvoren

#include "AlgorithmFactory.h"

#include <algorithm>
#include <cctype>

namespace Halvoren {

namespace {

std::string lowerExtension(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return {};
    }
    std::string extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

}  // namespace

AlgorithmFactory::AlgorithmFactory(std::string name) : m_name(std::move(name)) {}

AlgorithmFactory::~AlgorithmFactory() = default;

template <typename Visit>
void AlgorithmFactory::forEachDescriptor(Visit visit) const {
    for (const AlgorithmFactory* front : m_frontFactories) {
        front->forEachDescriptor(visit);
    }
    for (const Descriptor& descriptor : m_descriptors) {
        visit(descriptor);
    }
}

bool AlgorithmFactory::addDescriptor(Descriptor descriptor, std::type_index type) {
    for (const Descriptor& existing : m_descriptors) {
        if (existing.name == descriptor.name) {
            HALVOREN_LOG(Log::Warning, "AlgorithmFactory",
                         "Algorithm already registered: " << descriptor.name);
            return false;
        }
    }
    m_typeNames[type] = descriptor.name;
    m_descriptors.push_back(std::move(descriptor));
    return true;
}

std::unique_ptr<Algorithm> AlgorithmFactory::instantiateAlgorithm(const std::string& name,
                                                                  const DataList& data) const {
    std::unique_ptr<Algorithm> algorithm;
    forEachDescriptor([&](const Descriptor& descriptor) {
        if (!algorithm && descriptor.name == name && descriptor.create) {
            algorithm = descriptor.create(data);
        }
    });
    return algorithm;
}

std::unique_ptr<IoAlgorithm> AlgorithmFactory::instantiateIoAlgorithm(const std::string& name) const {
    const Descriptor* descriptor = algorithmDescriptor(name);
    if (descriptor == nullptr || !descriptor->ioAlgorithm || !descriptor->create) {
        return nullptr;
    }
    std::unique_ptr<Algorithm> algorithm = descriptor->create(DataList());
    if (auto* io = dynamic_cast<IoAlgorithm*>(algorithm.get())) {
        algorithm.release();
        return std::unique_ptr<IoAlgorithm>(io);
    }
    return nullptr;
}

std::vector<const AlgorithmFactory::Descriptor*> AlgorithmFactory::compatibleDescriptors(
    const DataList& data) const {
    std::vector<const Descriptor*> result;
    forEachDescriptor([&](const Descriptor& d) {
        if (d.isCompatible && d.isCompatible(data)) {
            result.push_back(&d);
        }
    });
    return result;
}

std::vector<const AlgorithmFactory::Descriptor*> AlgorithmFactory::compatibleIoDescriptors(
    const DataList& data) const {
    std::vector<const Descriptor*> result;
    forEachDescriptor([&](const Descriptor& d) {
        if (d.ioAlgorithm && d.isCompatible && d.isCompatible(data)) {
            result.push_back(&d);
        }
    });
    return result;
}

std::vector<const AlgorithmFactory::Descriptor*> AlgorithmFactory::compatibleIoDescriptors(
    const Filesystem::Path& file) const {
    std::vector<const Descriptor*> result;
    const std::string extension = lowerExtension(file.string());
    if (extension.empty()) {
        return result;
    }
    forEachDescriptor([&](const Descriptor& d) {
        if (!d.ioAlgorithm || !d.create) {
            return;
        }
        // The extensions are the algorithm's to tell; a created instance is cheap (it runs nothing).
        const std::unique_ptr<Algorithm> probe = d.create(DataList());
        if (!probe) {
            return;
        }
        for (const std::string& supported : probe->supportedFileExtensions()) {
            if (lowerExtension("." + supported) == extension) {
                result.push_back(&d);
                return;
            }
        }
    });
    return result;
}

const AlgorithmFactory::Descriptor* AlgorithmFactory::algorithmDescriptor(const std::string& name) const {
    const Descriptor* found = nullptr;
    forEachDescriptor([&](const Descriptor& d) {
        if (found == nullptr && d.name == name) {
            found = &d;
        }
    });
    return found;
}

std::vector<const AlgorithmFactory::Descriptor*> AlgorithmFactory::algorithmDescriptors() const {
    std::vector<const Descriptor*> result;
    forEachDescriptor([&](const Descriptor& d) { result.push_back(&d); });
    return result;
}

std::vector<const AlgorithmFactory::Descriptor*> AlgorithmFactory::ioAlgorithmDescriptors() const {
    std::vector<const Descriptor*> result;
    forEachDescriptor([&](const Descriptor& d) {
        if (d.ioAlgorithm) {
            result.push_back(&d);
        }
    });
    return result;
}

std::string AlgorithmFactory::algorithmName(const Algorithm& algorithm) const {
    std::string name;
    for (const AlgorithmFactory* front : m_frontFactories) {
        name = front->algorithmName(algorithm);
        if (!name.empty()) {
            return name;
        }
    }
    const auto it = m_typeNames.find(std::type_index(typeid(algorithm)));
    return it != m_typeNames.end() ? it->second : std::string();
}

void AlgorithmFactory::addAlgorithmFactoryToFront(AlgorithmFactory* factory) {
    if (factory != nullptr && factory != this) {
        m_frontFactories.insert(m_frontFactories.begin(), factory);
    }
}

void AlgorithmFactory::removeAlgorithmFactory(AlgorithmFactory* factory) {
    m_frontFactories.erase(std::remove(m_frontFactories.begin(), m_frontFactories.end(), factory),
                           m_frontFactories.end());
}

}  // namespace Halvoren

#pragma once
// A plug-in's algorithms, registered by name, created on request for the data the user selected.
//
// A plug-in's factory registers each algorithm in its constructor with one call:
//     registerAlgorithm<MyAlgorithm>("Name", "IO;Group;Short", 0);
// The factory then builds the creator itself: for a compatible data list it creates the algorithm,
// gives it its FactoryInfo (full name, last piece of the category, a copy of the data list), lets an
// input algorithm read the host-wide settings, applies the preset and returns it. An incompatible list
// gives no algorithm and no message; a standard exception while creating logs
// "Cannot create algorithm <category>: <text>" (error, empty category) and gives no algorithm.

#include "Algorithm.h"
#include "DataList.h"
#include "IoAlgorithm.h"
#include "Log.h"
#include "Properties.h"
#include "Utilities.h"

#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

namespace Halvoren {

namespace detail {
/// Whether T declares `static bool isCompatible(const DataList&)`.
template <typename T, typename = void>
struct HasCompatibilityTest : std::false_type {};
template <typename T>
struct HasCompatibilityTest<T, std::void_t<decltype(T::isCompatible(std::declval<const DataList&>()))>>
    : std::true_type {};
}  // namespace detail

class AlgorithmFactory {
public:
    using Creator = std::function<std::unique_ptr<Algorithm>(const DataList&)>;
    using CompatibilityTest = std::function<bool(const DataList&)>;

    struct Descriptor {
        std::string name;      // full name: "<factory name>.<name>", or the name alone for an unnamed factory
        std::string category;  // ";"-separated path in the host's menus, e.g. "IO;Vendor;Device"
        int priority = 0;      // order among algorithms of one category, higher first; 0 for most
        bool ioAlgorithm = false;  // the algorithm is an IoAlgorithm (set by the registration)
        Creator create;
        CompatibilityTest isCompatible;
    };

    explicit AlgorithmFactory(std::string name);
    AlgorithmFactory(const AlgorithmFactory&) = delete;
    AlgorithmFactory& operator=(const AlgorithmFactory&) = delete;
    virtual ~AlgorithmFactory();

    const std::string& name() const { return m_name; }

    /// Creates the named algorithm for the data, or null when no algorithm of that name is compatible with
    /// them. Factories added to the front are asked first.
    std::unique_ptr<Algorithm> instantiateAlgorithm(const std::string& name, const DataList& data) const;
    /// Creates the named input algorithm for no data; null when the name is not an input algorithm.
    std::unique_ptr<IoAlgorithm> instantiateIoAlgorithm(const std::string& name) const;

    /// Descriptors whose algorithms accept the data, in order (front factories first).
    std::vector<const Descriptor*> compatibleDescriptors(const DataList& data) const;
    /// Input algorithms that accept the data.
    std::vector<const Descriptor*> compatibleIoDescriptors(const DataList& data) const;
    /// Input algorithms that read the file, judged by its extension (case-insensitive).
    std::vector<const Descriptor*> compatibleIoDescriptors(const Filesystem::Path& file) const;
    /// The descriptor with the full name, or null.
    const Descriptor* algorithmDescriptor(const std::string& name) const;
    std::vector<const Descriptor*> algorithmDescriptors() const;
    std::vector<const Descriptor*> ioAlgorithmDescriptors() const;
    /// The full name registered for the algorithm's run-time type, or empty.
    std::string algorithmName(const Algorithm& algorithm) const;

    /// Lets this factory also answer for the other one, asked before its own algorithms and before
    /// factories added earlier. Not owned: remove it before it is destroyed.
    void addAlgorithmFactoryToFront(AlgorithmFactory* factory);
    void removeAlgorithmFactory(AlgorithmFactory* factory);

    // Descriptor pointers stay valid while the factory that holds them lives.

protected:
    /// Registers T under "<factory name>.<name>". T must be default-constructible. Its compatibility
    /// test is T::isCompatible(const DataList&) when T declares one, otherwise "the data list is empty".
    /// A name registered twice is logged (warning, "AlgorithmFactory") and ignored.
    template <typename T>
    void registerAlgorithm(const std::string& name, const std::string& category, int priority,
                           std::shared_ptr<const Properties> preset = nullptr);

private:
    bool addDescriptor(Descriptor descriptor, std::type_index type);
    template <typename Visit>
    void forEachDescriptor(Visit visit) const;

    std::string m_name;
    std::deque<Descriptor> m_descriptors;  // registration order; a deque keeps the pointers handed out valid
    std::map<std::type_index, std::string> m_typeNames;
    std::vector<AlgorithmFactory*> m_frontFactories;  // first asked first
};

template <typename T>
void AlgorithmFactory::registerAlgorithm(const std::string& name, const std::string& category, int priority,
                                         std::shared_ptr<const Properties> preset) {
    static_assert(std::is_base_of_v<Algorithm, T>, "registerAlgorithm needs an Algorithm");
    const std::string fullName = m_name.empty() ? name : m_name + "." + name;

    CompatibilityTest isCompatible;
    if constexpr (detail::HasCompatibilityTest<T>::value) {
        isCompatible = [](const DataList& data) { return T::isCompatible(data); };
    } else {
        isCompatible = [](const DataList& data) { return data.empty(); };
    }

    Creator create = [fullName, category, preset,
                      isCompatible](const DataList& data) -> std::unique_ptr<Algorithm> {
        if (!isCompatible(data)) {
            return nullptr;
        }
        try {
            auto algorithm = std::make_unique<T>();
            const std::vector<std::string> pieces = String::split(category, ";");
            const std::string shortName = pieces.empty() ? category : pieces.back();
            algorithm->setFactoryInfo(Algorithm::FactoryInfo{fullName, shortName, data});
            if constexpr (std::is_base_of_v<IoAlgorithm, T>) {
                algorithm->configureFromGlobalSettings();
            }
            if (preset) {
                algorithm->configure(preset.get());
            }
            return algorithm;
        } catch (const std::exception& e) {
            HALVOREN_LOG(Log::Error, "", "Cannot create algorithm " << category << ": " << e.what());
            return nullptr;
        }
    };

    addDescriptor(Descriptor{fullName, category, priority, std::is_base_of_v<IoAlgorithm, T>,
                             std::move(create), std::move(isCompatible)},
                  std::type_index(typeid(T)));
}

}  // namespace Halvoren

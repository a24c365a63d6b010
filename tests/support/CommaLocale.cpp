#include "support/CommaLocale.h"

#include <clocale>
#include <cstdlib>
#include <cstring>

namespace TestSupport {

namespace {

constexpr const char* kName = "de_DE.UTF-8";

bool hasCommaDecimal(const char* name) {
    const char* before = std::setlocale(LC_NUMERIC, nullptr);
    const std::string previous = before != nullptr ? before : "C";
    bool comma = false;
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
        comma = std::strcmp(std::localeconv()->decimal_point, ",") == 0;
    }
    std::setlocale(LC_NUMERIC, previous.c_str());
    return comma;
}

}  // namespace

std::string commaLocale() {
    static const std::string name = [] {
        // Asked of a child first: once this process has looked for a locale the C library has mapped
        // the machine's locale archive, and would not see one added to it afterwards.
        const std::string has =
            std::string("LC_ALL=") + kName + " locale decimal_point 2>/dev/null | grep -qx ,";
        if (std::system(has.c_str()) != 0) {
            // Made once, as root may (the locales package brings localedef and the sources).
            [[maybe_unused]] const int made =
                std::system("localedef -i de_DE -f UTF-8 de_DE.UTF-8 >/dev/null 2>&1");
        }
        return hasCommaDecimal(kName) ? std::string(kName) : std::string();
    }();
    return name;
}

InCommaLocale::InCommaLocale() {
    const std::string name = commaLocale();
    const char* before = std::setlocale(LC_ALL, nullptr);
    m_previous = before != nullptr ? before : "C";
    m_active = !name.empty() && std::setlocale(LC_ALL, name.c_str()) != nullptr;
}

InCommaLocale::~InCommaLocale() {
    std::setlocale(LC_ALL, m_previous.c_str());
}

}  // namespace TestSupport

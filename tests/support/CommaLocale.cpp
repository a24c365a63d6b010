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
        if (hasCommaDecimal(kName)) {
            return std::string(kName);
        }
        // The machine's locale archive lacks it: made once, as root may (the locales package brings
        // localedef and the sources).
        const int made = std::system("localedef -i de_DE -f UTF-8 de_DE.UTF-8 >/dev/null 2>&1");
        return made == 0 && hasCommaDecimal(kName) ? std::string(kName) : std::string();
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

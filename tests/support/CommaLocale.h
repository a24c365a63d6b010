#pragma once
// A locale whose decimal point is a comma, for tests that numbers are read and written in the classic
// form whatever locale a process runs in.

#include <string>

namespace TestSupport {

/// The name of an installed locale whose decimal point is ',' (de_DE.UTF-8), made with localedef when
/// the machine has none and may make one; empty when neither can be had (the caller skips, saying so).
/// Leaves the process's locale as it found it.
std::string commaLocale();

/// Sets the process's C locale to a comma-decimal one while it lives, then puts the old one back.
class InCommaLocale {
public:
    InCommaLocale();
    ~InCommaLocale();
    InCommaLocale(const InCommaLocale&) = delete;
    InCommaLocale& operator=(const InCommaLocale&) = delete;
    /// False when no such locale can be had.
    bool active() const { return m_active; }

private:
    std::string m_previous;
    bool m_active = false;
};

}  // namespace TestSupport

#pragma once

#include "host/Log.h"

#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

/// Captures everything logged while it lives (global level 0, stderr off). On destruction it fails the
/// test for every warning or error that no check looked at, so unexpected messages never pass silently.
class LogCapture {
public:
    struct Entry {
        Halvoren::Log::Record record;
        bool checked = false;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    /// Number of records with exactly this level and text (category ignored); marks them checked.
    int count(int level, const std::string& text);
    /// Same, also matching the category.
    int count(int level, const std::string& category, const std::string& text);
    bool has(int level, const std::string& text) { return count(level, text) > 0; }
    /// Number of records whose text contains the piece, any level; marks them checked.
    int countContaining(const std::string& piece);
    /// Copies of all records so far; marks them checked.
    std::vector<Halvoren::Log::Record> records();
    /// Records of at least this level; marks them checked.
    std::vector<Halvoren::Log::Record> recordsAtLeast(int level);
    /// Forgets everything so far; fails the test for unchecked warnings and errors, as the destructor does.
    void clear();
    /// Texts of the unchecked warnings and errors (for messages).
    std::string unchecked() const;

private:
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
    int m_sink = -1;
    int m_previousLevel = 0;
};

}  // namespace TestSupport

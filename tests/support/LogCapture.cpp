#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace TestSupport {

using Halvoren::Log;

LogCapture::LogCapture() : m_previousLevel(Log::globalLevel()) {
    Log::setGlobalLevel(Log::Trace);
    Log::setStderrEnabled(false);
    m_sink = Log::addSink([this](const Log::Record& r) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.push_back({r, false});
    });
}

LogCapture::~LogCapture() {
    Log::removeSink(m_sink);
    Log::setStderrEnabled(true);
    Log::setGlobalLevel(m_previousLevel);
    const std::string left = unchecked();
    if (!left.empty()) {
        ADD_FAILURE() << "Unexpected warnings or errors were logged:\n" << left;
    }
}

int LogCapture::count(int level, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (auto& e : m_entries) {
        if (e.record.level == level && e.record.text == text) {
            e.checked = true;
            ++n;
        }
    }
    return n;
}

int LogCapture::count(int level, const std::string& category, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (auto& e : m_entries) {
        if (e.record.level == level && e.record.category == category && e.record.text == text) {
            e.checked = true;
            ++n;
        }
    }
    return n;
}

int LogCapture::countContaining(const std::string& piece) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (auto& e : m_entries) {
        if (e.record.text.find(piece) != std::string::npos) {
            e.checked = true;
            ++n;
        }
    }
    return n;
}

std::vector<Log::Record> LogCapture::records() {
    return recordsAtLeast(Log::Trace);
}

std::vector<Log::Record> LogCapture::recordsAtLeast(int level) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Log::Record> out;
    for (auto& e : m_entries) {
        if (e.record.level >= level) {
            e.checked = true;
            out.push_back(e.record);
        }
    }
    return out;
}

void LogCapture::clear() {
    const std::string left = unchecked();
    if (!left.empty()) {
        ADD_FAILURE() << "Unexpected warnings or errors were logged before clear():\n" << left;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
}

std::string LogCapture::unchecked() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string out;
    for (const auto& e : m_entries) {
        if (!e.checked && e.record.level >= Log::Warning) {
            out += "  [" + std::string(Log::levelName(e.record.level)) + "] " + e.record.category + ": " +
                   e.record.text + "\n";
        }
    }
    return out;
}

}  // namespace TestSupport

#include "Log.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

namespace Halvoren {

namespace {
struct LogState {
    std::mutex mutex;  // guards everything below; sinks run under it
    int globalLevel = Log::Info;
    std::map<std::string, int> categoryLevels;
    std::vector<std::pair<int, Log::Sink>> sinks;
    int nextSink = 1;
    bool stderrEnabled = true;
};

LogState& state() {
    static LogState s;
    return s;
}
}  // namespace

const char* Log::levelName(int level) {
    switch (level) {
        case Trace:
            return "trace";
        case Debug:
            return "debug";
        case Info:
            return "info";
        case Warning:
            return "warning";
        case Error:
            return "error";
        default:
            return "log";
    }
}

bool Log::isAccepted(int level, const std::string& category) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.categoryLevels.find(category);
    const int threshold = it != s.categoryLevels.end() ? it->second : s.globalLevel;
    return level >= threshold;
}

void Log::log(int level, const std::string& category, const std::string& text, const char* file, int line) {
    if (!isAccepted(level, category)) {
        return;
    }
    Record record{level, category, text, file ? file : "", line};
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stderrEnabled) {
        std::fprintf(stderr, "%s\n", formatLine(record).c_str());
    }
    for (const auto& sink : s.sinks) {
        sink.second(record);
    }
}

std::string Log::formatLine(const Record& record) {
    std::string line = std::string("[") + levelName(record.level) + "] " + record.category;
    if (!record.category.empty()) {
        line += ": ";
    }
    return line + record.text;
}

void Log::setGlobalLevel(int level) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().globalLevel = level;
}

int Log::globalLevel() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().globalLevel;
}

void Log::setCategoryLevel(const std::string& category, int level) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (level < 0) {
        state().categoryLevels.erase(category);
    } else {
        state().categoryLevels[category] = level;
    }
}

int Log::addSink(Sink sink) {
    std::lock_guard<std::mutex> lock(state().mutex);
    const int id = state().nextSink++;
    state().sinks.emplace_back(id, std::move(sink));
    return id;
}

void Log::removeSink(int id) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto& sinks = state().sinks;
    for (auto it = sinks.begin(); it != sinks.end(); ++it) {
        if (it->first == id) {
            sinks.erase(it);
            return;
        }
    }
}

void Log::setStderrEnabled(bool enabled) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().stderrEnabled = enabled;
}

}  // namespace Halvoren

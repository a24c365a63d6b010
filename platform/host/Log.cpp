#include "Log.h"

#include <algorithm>
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
    struct SinkEntry {
        int id;
        int level;  // kLevelsOfTheLog: the log's own thresholds
        Log::Sink sink;
    };
    std::vector<SinkEntry> sinks;
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

namespace {

/// Under the log's mutex: the level the log's thresholds accept for the category.
int thresholdOf(const LogState& s, const std::string& category) {
    const auto it = s.categoryLevels.find(category);
    return it != s.categoryLevels.end() ? it->second : s.globalLevel;
}

/// Under the log's mutex: whether a sink takes a record of this level.
bool sinkTakes(const LogState::SinkEntry& sink, int level, int threshold) {
    return level >= (sink.level == Log::kLevelsOfTheLog ? threshold : sink.level);
}

}  // namespace

bool Log::isAccepted(int level, const std::string& category) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const int threshold = thresholdOf(s, category);
    return level >= threshold ||
           std::any_of(s.sinks.begin(), s.sinks.end(),
                       [&](const LogState::SinkEntry& sink) { return sinkTakes(sink, level, threshold); });
}

void Log::log(int level, const std::string& category, const std::string& text, const char* file, int line) {
    Record record{level, category, text, file ? file : "", line};
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const int threshold = thresholdOf(s, category);
    if (s.stderrEnabled && level >= threshold) {
        std::fprintf(stderr, "%s\n", formatLine(record).c_str());
    }
    for (const auto& sink : s.sinks) {
        if (sinkTakes(sink, level, threshold)) {
            sink.sink(record);
        }
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

int Log::addSink(Sink sink, int level) {
    std::lock_guard<std::mutex> lock(state().mutex);
    const int id = state().nextSink++;
    state().sinks.push_back({id, level, std::move(sink)});
    return id;
}

void Log::removeSink(int id) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto& sinks = state().sinks;
    for (auto it = sinks.begin(); it != sinks.end(); ++it) {
        if (it->id == id) {
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

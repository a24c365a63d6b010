#pragma once

#include <functional>
#include <sstream>
#include <string>

namespace Halvoren {

/// Process-wide log. Levels: 0 most detailed, 1 debug, 2 information, 3 warning, 4 error.
/// Thread-safe; sinks are called under the log's own mutex, so a sink must not log.
class Log {
public:
    enum Level { Trace = 0, Debug = 1, Info = 2, Warning = 3, Error = 4 };

    struct Record {
        int level = Info;
        std::string category;
        std::string text;
        std::string file;
        int line = -1;
    };
    using Sink = std::function<void(const Record&)>;

    /// Writes the record to stderr (unless disabled) when the level is accepted, and to every sink that
    /// takes it.
    static void log(int level, const std::string& category, const std::string& text, const char* file = "",
                    int line = -1);
    /// True when a message of this level and category would be written (to stderr or a sink); check before
    /// building a text.
    static bool isAccepted(int level, const std::string& category = std::string());

    static void setGlobalLevel(int level);
    static int globalLevel();
    /// Overrides the global level for one category; a negative level removes the override.
    static void setCategoryLevel(const std::string& category, int level);

    /// A sink's level when it takes what the log's thresholds accept.
    static constexpr int kLevelsOfTheLog = -1;
    /// Returns an id for removeSink. A sink given a level takes every record of that level and above,
    /// whatever the thresholds let through to standard error: a program that watches for one message
    /// still sees it when its user asked for fewer.
    static int addSink(Sink sink, int level = kLevelsOfTheLog);
    static void removeSink(int id);
    /// The stderr output: "[warning] category: text".
    static void setStderrEnabled(bool enabled);
    /// The record as the stderr output writes it, without the line end.
    static std::string formatLine(const Record& record);

    static const char* levelName(int level);
};

}  // namespace Halvoren

/// Builds the message only when it will be written: HALVOREN_LOG(Log::Warning, "Cat", "a " << n);
#define HALVOREN_LOG(level, category, streamExpr)                                        \
    do {                                                                                 \
        if (::Halvoren::Log::isAccepted((level), (category))) {                          \
            std::ostringstream halvorenLogStream_;                                       \
            halvorenLogStream_ << streamExpr;                                            \
            ::Halvoren::Log::log((level), (category), halvorenLogStream_.str(), "", -1); \
        }                                                                                \
    } while (false)

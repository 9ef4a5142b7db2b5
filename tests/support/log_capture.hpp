// tests/support/log_capture.hpp - the framework log's lines collected while a capture lives
#ifndef KESTIL_TESTS_SUPPORT_LOG_CAPTURE_HPP
#define KESTIL_TESTS_SUPPORT_LOG_CAPTURE_HPP

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "framework/log.h"

namespace test_support {

// One line of the log with the level it was written at (with the sign the log passed).
struct LogLine {
    int level;
    std::string line;
};

// Installs a hook on kestil_log_message_handler that keeps every line with its level, and
// restores the previous hook and log level on destruction. One capture at a time per process.
// The hook runs with the log mutex held, so it only takes its own mutex and never logs; lines
// may arrive from any thread.
class LogCapture {
public:
    // Keeps the process log level (restored all the same, should the test change it).
    LogCapture() : LogCapture(std::nullopt) {}
    // Sets the process log level to level while the capture lives.
    explicit LogCapture(int level) : LogCapture(std::optional<int>(level)) {}
    ~LogCapture() {
        kestil_log_message_handler = saved_handler_;
        kestil_set_log_level(saved_level_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The lines so far, without their levels.
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        for (const LogLine& entry : entries()) result.push_back(entry.line);
        return result;
    }
    // The lines so far with their levels.
    std::vector<LogLine> entries() const {
        std::lock_guard<std::mutex> lock(mutex());
        return stored();
    }
    // The lines so far with their levels, forgotten here.
    std::vector<LogLine> take() {
        std::lock_guard<std::mutex> lock(mutex());
        std::vector<LogLine> taken;
        taken.swap(stored());
        return taken;
    }
    // Every line, each followed by "\n".
    std::string text() const {
        std::string result;
        for (const LogLine& entry : entries()) result += entry.line + "\n";
        return result;
    }
    // Whether some line equals line.
    bool contains(const std::string& line) const { return count(line) > 0; }
    // Whether some line holds part.
    bool contains_part(const std::string& part) const {
        for (const LogLine& entry : entries())
            if (entry.line.find(part) != std::string::npos) return true;
        return false;
    }
    // Number of lines equal to line.
    int count(const std::string& line) const {
        int found = 0;
        for (const LogLine& entry : entries()) found += entry.line == line;
        return found;
    }
    // Number of lines that start with prefix.
    int count_prefix(const std::string& prefix) const {
        int found = 0;
        for (const LogLine& entry : entries()) found += entry.line.rfind(prefix, 0) == 0;
        return found;
    }
    // The lines so far without their levels, forgotten here.
    std::vector<std::string> take_lines() {
        std::vector<std::string> result;
        for (const LogLine& entry : take()) result.push_back(entry.line);
        return result;
    }
    void clear() { take(); }
    // The lines of the capture that lives now, without their levels; none when none lives.
    static std::vector<std::string> current() {
        std::lock_guard<std::mutex> lock(mutex());
        std::vector<std::string> result;
        for (const LogLine& entry : stored()) result.push_back(entry.line);
        return result;
    }

private:
    explicit LogCapture(std::optional<int> level)
        : saved_handler_(kestil_log_message_handler), saved_level_(kestil_get_log_level()) {
        clear();
        kestil_log_message_handler = hook;
        if (level) kestil_set_log_level(*level);
    }
    static void hook(int level, const char* line) {
        std::lock_guard<std::mutex> lock(mutex());
        stored().push_back({level, line});
    }
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }
    static std::vector<LogLine>& stored() {
        static std::vector<LogLine> instance;
        return instance;
    }

    kestil_log_handler saved_handler_;
    int saved_level_;
};

// Whether some of lines holds part.
inline bool holds(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& line : lines)
        if (line.find(part) != std::string::npos) return true;
    return false;
}

// Routes the log at debug level to a handler of the test's own for the lifetime of the object,
// then puts back the handler and level it found.
class LogHandlerScope {
public:
    explicit LogHandlerScope(kestil_log_handler handler)
        : handler_(kestil_log_message_handler), level_(kestil_get_log_level()) {
        kestil_log_message_handler = handler;
        kestil_set_log_level(3);
    }
    ~LogHandlerScope() {
        kestil_log_message_handler = handler_;
        kestil_set_log_level(level_);
    }
    LogHandlerScope(const LogHandlerScope&) = delete;
    LogHandlerScope& operator=(const LogHandlerScope&) = delete;

private:
    kestil_log_handler handler_;
    int level_;
};

}  // namespace test_support

#endif

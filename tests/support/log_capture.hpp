// tests/support/log_capture.hpp - the framework log's lines collected while a capture lives
#ifndef KESTIL_TESTS_SUPPORT_LOG_CAPTURE_HPP
#define KESTIL_TESTS_SUPPORT_LOG_CAPTURE_HPP

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "framework/log.h"

namespace test_support {

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
        for (const auto& entry : entries()) result.push_back(entry.second);
        return result;
    }
    // The (level, line) pairs so far, levels with the sign the log passed.
    std::vector<std::pair<int, std::string>> entries() const {
        std::lock_guard<std::mutex> lock(mutex());
        return stored();
    }
    // Every line, each followed by "\n".
    std::string text() const {
        std::string result;
        for (const auto& entry : entries()) result += entry.second + "\n";
        return result;
    }
    // Whether some line equals line.
    bool contains(const std::string& line) const {
        for (const auto& entry : entries())
            if (entry.second == line) return true;
        return false;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex());
        stored().clear();
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
        stored().emplace_back(level, line);
    }
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }
    static std::vector<std::pair<int, std::string>>& stored() {
        static std::vector<std::pair<int, std::string>> instance;
        return instance;
    }

    kestil_log_handler saved_handler_;
    int saved_level_;
};

}  // namespace test_support

#endif

// Collects the system log's lines while alive, for suites that check what was logged.
#pragma once

#include "platform/SystemLog.h"

#include <QRegularExpression>
#include <QStringList>

#include <mutex>

class LogCapture {
public:
    LogCapture() {
        SystemLog::setSink([this](int, const QString& message) {
            std::lock_guard<std::mutex> locker(_lock);
            _lines << message;
        });
    }
    ~LogCapture() { SystemLog::setSink({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const {
        std::lock_guard<std::mutex> locker(_lock);
        return _lines;
    }
    void clear() {
        std::lock_guard<std::mutex> locker(_lock);
        _lines.clear();
    }
    bool contains(const QString& line) const { return lines().contains(line); }
    bool containsMatch(const QString& pattern) const {
        const QRegularExpression re(QRegularExpression::anchoredPattern(pattern));
        for (const QString& line : lines())
            if (re.match(line).hasMatch()) return true;
        return false;
    }

private:
    mutable std::mutex _lock;
    QStringList _lines;
};

// The system log (syslog, and standard error as well) behind a replaceable sink, so tests can read
// what was logged.
#pragma once

#include <QString>

#include <functional>

class SystemLog {
public:
    enum Priority { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };
    using Sink = std::function<void(int priority, const QString& message)>;

    static void log(int priority, const QString& message);
    static void error(const QString& message) { log(Error, message); }
    static void warning(const QString& message) { log(Warning, message); }
    static void notice(const QString& message) { log(Notice, message); }
    // A warning logged only the first time the process meets it, for faults that a text would
    // otherwise report again on every pass over it.
    static void warningOnce(const QString& message);

    // Replaces where lines go (syslog by default); an empty sink restores syslog. Once it returns
    // the previous sink is never called again: calls in it on other threads are waited for.
    static void setSink(Sink sink);
};

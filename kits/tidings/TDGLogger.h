// The analytics kit's own log lines (only in the kits' debug mode) and what it knows of its host
// application.
#pragma once

#include <QString>
#include <QVariantMap>

#include <atomic>

class TDGLogger {
public:
    static TDGLogger& sharedLogger();
    bool debugMode() const { return _debugMode.load(); }
    void setDebugMode(bool on) { _debugMode.store(on); }
    // "[Tidings] " and the text.
    void log(const QString& text);
    // "[Tidings:<label>] " and the text.
    void logWithLabel(const QString& label, const QString& text);

private:
    void internalLog(const QString& line);
    std::atomic<bool> _debugMode{false};
};

class TDGApplication {
public:
    static TDGApplication hostApplication();
    explicit TDGApplication(QVariantMap infoPlist) : _infoPlistDict(std::move(infoPlist)) {}
    QString bundleIdentifier() const;
    QString bundleVersion() const;
    QString shortVersionString() const;
    // The "NSExtension" entry when it is a dictionary; any other kind is logged and ignored.
    QVariantMap extensionDefinitionDictionary() const;
    QString extensionPointIdentifier() const;
    bool isExtension() const { return !extensionPointIdentifier().isEmpty(); }

private:
    QVariantMap _infoPlistDict;
};

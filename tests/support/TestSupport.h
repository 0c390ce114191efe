// Helpers shared by the test suites.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

#include <ostream>

// Readable failure messages for Qt values in every suite (one definition, so the linker keeps it).
void PrintTo(const QString& value, std::ostream* os);
void PrintTo(const QByteArray& value, std::ostream* os);
void PrintTo(const QVariant& value, std::ostream* os);

// The per-run sandbox the test main made: HOME, XDG_* and TMPDIR point inside it.
QString testSandbox();

// A fresh folder inside the sandbox, removed with the object (names that are not UTF-8 too).
class TestDir {
public:
    TestDir();
    ~TestDir();
    QString path() const { return _dir.path(); }
    QString file(const QString& name) const { return _dir.filePath(name); }
    // Writes bytes to name (folders created as needed) and answers the full path.
    QString write(const QString& name, const QByteArray& bytes) const;

private:
    QTemporaryDir _dir;
};

QByteArray readAll(const QString& path);

// Files named by their bytes, for names Qt's file classes cannot reach (those not UTF-8).
bool writeBytes(const QByteArray& path, const QByteArray& data);
QByteArray readBytes(const QByteArray& path);            // "<missing>" when it cannot be read
QList<QByteArray> entryBytes(const QByteArray& folder);  // sorted, without "." and ".."

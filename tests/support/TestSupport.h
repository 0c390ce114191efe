// Helpers shared by the test suites.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

#include <sys/types.h>

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

// Another account, for a test run by the superuser to act as (seteuid) where permissions must
// keep it out; none (uid 0) when the tests run as any other user.
struct TestAccount {
    uid_t uid = 0;
    gid_t gid = 0;
    explicit operator bool() const { return uid != 0; }
};
TestAccount testAccount(const char* name);
// Makes two folders that can be listed but not entered: own (with what it holds) the account's
// own at 0644, as after "chmod -R 644", and others another account's at 0744. Run as the
// superuser, own goes to "nobody" (whom the test then acts as) and others to "daemon"; run as
// any other user, others is removed (only the superuser gives a folder away). False when a step
// failed.
bool makeListedButNotEntered(const QString& own, const QString& others);

// Files named by their bytes, for names Qt's file classes cannot reach (those not UTF-8).
bool writeBytes(const QByteArray& path, const QByteArray& data);
QByteArray readBytes(const QByteArray& path);            // "<missing>" when it cannot be read
QList<QByteArray> entryBytes(const QByteArray& folder);  // sorted, without "." and ".."

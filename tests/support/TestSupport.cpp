#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

TestDir::TestDir() : _dir(testSandbox() + QStringLiteral("/t-XXXXXX")) {}

QString TestDir::write(const QString& name, const QByteArray& bytes) const {
    const QString path = file(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write(bytes);
    return path;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

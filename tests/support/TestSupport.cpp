#include "tests/support/TestSupport.h"

#include <QDebug>
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

void PrintTo(const QString& value, std::ostream* os) { *os << '"' << value.toStdString() << '"'; }

void PrintTo(const QByteArray& value, std::ostream* os) {
    *os << '"' << value.left(200).toStdString() << (value.size() > 200 ? "\"..." : "\"");
}

void PrintTo(const QVariant& value, std::ostream* os) {
    QString text;
    QDebug(&text) << value;
    *os << text.toStdString();
}

// What the Subversion client's XML says: log entries for the revision sheet, status entries for
// the project's file tree. Read with a streaming XML reader; a document that does not parse gives
// the entries read before the fault.
#pragma once

#include "files/QVSCMStatusEntry.h"

#include <QList>
#include <QString>

#include <memory>

class QVSCMLogEntry {
public:
    QString revision;
    QString author;
    QString message;
    QString dateString;
};

class QVSubversionStatusEntry : public QVSCMStatusEntry {
public:
    // Working-copy and repository codes: 0 nothing to show, then the client's words in order.
    enum Code { None = 0, Added, Conflicted, Deleted, Ignored, Modified, Replaced, External, Unversioned, Incomplete, Obstructed, Missing };

    QVSubversionStatusEntry(QString path, int wcStatus, int repositoryStatus)
        : _path(std::move(path)), _wcStatus(wcStatus), _repositoryStatus(repositoryStatus) {}

    QString path() const override { return _path; }
    qint32 workingCopyStatus() const override { return _wcStatus; }
    QString workingCopyStatusLetter() const override { return letter(_wcStatus); }
    QString humanReadableWorkingCopyStatus() const { return displayName(_wcStatus); }
    int repositoryStatus() const { return _repositoryStatus; }
    QString repositoryStatusLetter() const { return letter(_repositoryStatus); }
    QString humanReadableRepositoryStatus() const { return displayName(_repositoryStatus); }

    static int codeForWord(const QString& word);
    static QString letter(int code);
    static QString displayName(int code);

private:
    QString _path;
    int _wcStatus;
    int _repositoryStatus;
};

namespace QVSCMXml {
// The "logentry" elements of "svn log --xml".
QList<QVSCMLogEntry> logEntries(const QString& document);
// The entries of the first "target" of "svn st --xml", then those of its change lists.
QList<std::shared_ptr<QVSCMStatusEntry>> statusEntries(const QString& document);
}  // namespace QVSCMXml

// Listing a remote folder: the client's listing command, and the parsers that turn the printed
// listing (UNIX long form from sftp and most FTP servers, the Windows/IIS FTP form, cadaver's
// columns) into entries.
#pragma once

#include "files/QVRemoteFile.h"
#include "files/QVRemoteFileAction.h"

#include <QList>

class QVFileListingAction : public QVRemoteFileAction {
public:
    QVFileListingAction(std::shared_ptr<QVRemoteFilesConnection> connection, QString path);

    const QString& path() const { return _remotePath; }
    // Set on success.
    const QList<QVRemoteFile>& files() const { return _files; }

    std::shared_ptr<QVRemoteFileAction> copy() const override;
    void runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) override;
    QVError errorWithStatusCode(int statusCode) const override;
    // The command written for the listing.
    QString command() const;

    // The entries of a listing's lines, in line order. Entries that cannot be addressed as a
    // child of the folder are dropped: ".", "..", names holding "/" or NUL.
    static QList<QVRemoteFile> parseLines(int type, const QString& directory, const QStringList& lines);
    static std::optional<QVRemoteFile> parseUnixLine(const QString& line, const QString& directory);
    static std::optional<QVRemoteFile> parseWindowsLine(const QString& line, const QString& directory);
    static std::optional<QVRemoteFile> parseWebDAVLine(const QString& line, const QString& directory);

protected:
    void handleReply(const QStringList& lines) override;

private:
    QString _remotePath;
    QList<QVRemoteFile> _files;
};

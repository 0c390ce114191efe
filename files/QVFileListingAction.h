// Listing a remote folder: the client's listing command, and the parsers that turn the printed
// listing (UNIX long form from sftp and most FTP servers, the Windows/IIS FTP form) into entries.
// A WebDAV folder is listed by one PROPFIND of its members, whose hrefs are the names.
#pragma once

#include "files/QVRemoteFile.h"
#include "files/QVListingBudget.h"
#include "files/QVRemoteFileAction.h"

#include <QList>

class QVFileListingAction : public QVRemoteFileAction {
public:
    QVFileListingAction(std::shared_ptr<QVRemoteFilesConnection> connection, QString path);

    const QString& path() const { return _remotePath; }
    // Asks FTP servers for the entries whose names start with "." too (some leave them out of a
    // plain listing; sftp's and cadaver's listings always hold them).
    void setIncludesHidden(bool includes) { _includesHidden = includes; }
    // Set on success.
    const QList<QVRemoteFile>& files() const { return _files; }

    std::shared_ptr<QVRemoteFileAction> copy() const override;
    void runWithDelegate(const std::shared_ptr<QVRemoteFileActionDelegate>& delegate) override;
    QVError errorWithStatusCode(int statusCode) const override;
    // The command written for the listing (FTP enters a named folder and lists it with a bare
    // "ls" instead: servers read the argument of LIST each their own way, one splits it at
    // blanks).
    QString command() const;
    // Lines of the listing that read as no entry (set on success): a folder walk that trusts
    // such a listing would leave out what it could not read.
    int unreadableLines() const { return _unreadableLines; }

    // The entries of an sftp (type SFTP) or FTP listing's lines, in line order. Entries that
    // cannot be addressed as a child of the folder are dropped: ".", "..", names holding "/" or
    // NUL. *unreadable counts the FTP lines that read as no entry of either form. With a
    // budget, the lines end at the first bound passed (the budget says which).
    static QList<QVRemoteFile> parseLines(int type, const QString& directory, const QStringList& lines,
                                          int* unreadable = nullptr, QVListingBudget* budget = nullptr);
    // The folder of tnftp's answer to "pwd" ("Remote directory: /a b", or the server's own
    // 257 "/a ""b""" is ...), or nothing.
    static std::optional<QString> parseWorkingFolder(const QStringList& lines);
    static std::optional<QVRemoteFile> parseUnixLine(const QString& line, const QString& directory);
    static std::optional<QVRemoteFile> parseWindowsLine(const QString& line, const QString& directory);

protected:
    void handleReply(const QStringList& lines) override;

private:
    // A listing's lines read one at a time, within a budget when given one: an FTP listing's
    // file is never held as lines whole.
    class LineReader {
    public:
        LineReader(int type, QString directory, QVListingBudget* budget);
        // False once a bound is passed: the rest is not read.
        bool take(const QString& line);
        QList<QVRemoteFile> finish(int* unreadable);

    private:
        std::optional<QVRemoteFile> read(const QString& line);
        int _type;
        QString _directory, _prefix;
        QVListingBudget* _budget;
        QList<QVRemoteFile> _files;
        int _unreadable = 0;
    };
    void keepRefusal();
    void listed(const QStringList& lines, bool* ok, int* code);
    QStringList targetPaths() const override { return {_remotePath}; }
    void listMembers();
    void recordTwins();
    // FTP: the listing command, writing to a fresh private file in the client's folder when
    // one can be made (the terminal would carry every line of it), else printing it.
    QString ftpListCommand();

    static constexpr const char* ListingFileName = "listing";

    QString _remotePath;
    bool _includesHidden = false;
    QList<QVRemoteFile> _files;
    int _unreadableLines = 0;
    // FTP: asks for the working folder, enters the listed one, lists it, returns.
    enum Step { Listing, AskingFolder, Entering, ListingEntered, Returning };
    Step _step = Listing;
    QString _returnFolder;
    bool _listedOK = false;
    int _listedCode = 0;
    QString _listingFile;  // where the FTP listing is being written; empty when printed
    QVListingBudget _budget;
};

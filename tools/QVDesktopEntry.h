// Desktop entries (the freedesktop ".desktop" files) of applications: what the desktop knows of
// the programs installed. Qorvel reads them to list the web browsers installed and to start one on
// a page: the entry's command as an argument vector, never through a shell.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class QVDesktopEntry {
public:
    QString path;  // the entry's file
    QString id;    // its desktop file id ("org.mozilla.firefox.desktop")
    QString name;  // "Name", not localised
    QString exec;  // "Exec", string escapes undone
    QString icon;
    QStringList mimeTypes;
    bool hidden = false;

    // The "[Desktop Entry]" group of the file at path, when it is an application entry with a
    // name and a command; nothing for anything else (a link, a missing key, an unreadable file).
    static std::optional<QVDesktopEntry> read(const QString& path, const QString& id = {});

    // The command that opens target (a URL or a path): Exec split into arguments by its quoting
    // rules, each field code replaced: %u %U %f %F by the page as one argument, %i by "--icon"
    // and the icon, %c by the name, %k by the entry's path, %% by "%", deprecated codes dropped.
    // Without a code for the page, the page is appended. The page goes over as an address for
    // every code, a path as its file's address built from the name's bytes: every byte outside
    // letters, digits and "-._~/" (and ":@" and escapes already there, in an address other than
    // a file's) is percent-encoded, a word no shell or interpreter reads as code. A program that
    // reads it as a path reads "file:/…" below its working folder, which the caller makes an
    // empty one (QVBrowser::startFolder()).
    // Nothing (and why, for a message "... was not started: <why>") when Exec is malformed (an
    // open quote, an unknown field code, no program, a program named by a field code, a field
    // code between double quotes, more than one code for the page), or when the page would
    // stand where a program is, be split by env as a command line, or go to a program known to
    // fetch an address given as its script. Option values are never judged. The verdict never
    // depends on the page.
    std::optional<QStringList> commandFor(const QString& target, QString* why = nullptr) const;
    // Exec's own splitting, for tests: nothing when the quoting is broken.
    static std::optional<QStringList> splitExec(const QString& exec);

    // The "applications" folders in precedence order: $XDG_DATA_HOME's, then each of
    // $XDG_DATA_DIRS' (with the XDG base-directory defaults when unset).
    static QStringList applicationFolders();
    // Every visible application entry whose MimeType lists mimeType, each desktop file id once
    // (the first folder wins), in folder order and by id within a folder.
    static QList<QVDesktopEntry> entriesHandling(const QString& mimeType);
    // The desktop file ids the mimeapps.list files name as defaults for mimeType, in
    // precedence order (user configuration first).
    static QStringList defaultIds(const QString& mimeType);
};

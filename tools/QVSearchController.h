// The find windows' shared state: the search and replacement texts, the regular-expression and
// match-case options (kept in the user defaults), validity, a status line and the histories.
#pragma once

#include "platform/NotificationCenter.h"
#include "shell/QVSearch.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

// Each find window is its own controller; all start from the stored options and all take text
// from the find pasteboard and from the editors' use-selection-for-find. Main thread only.
class QVSearchController : public QObject {
    Q_OBJECT
public:
    // How many recent entries each history keeps.
    static constexpr int HistoryLimit = 10;
    // The tag of the control beside the search field that opens the extended input.
    static constexpr int SearchFieldTag = 10;

    explicit QVSearchController(QObject* parent = nullptr);
    ~QVSearchController() override;

    // A new search object from the current state; every call builds a fresh one.
    QVSearch search() const;
    // Takes the options, the search text and the template over from a search.
    void setSearch(const QVSearch& search);

    // Adds the search text to "QVSearchHistory" and the replacement to "QVReplaceHistory".
    void rememberSearch();
    // Puts the string (null counts as empty) at the head of the history under key, without
    // duplicates, dropping the last entry once when the list grows past HistoryLimit.
    static void remember(const QString& string, const QString& key);
    static QStringList history(const QString& key);

    // Recomputes valid and status; subclasses add their own conditions.
    virtual void validate();

    QString searchString() const { return _searchString; }
    void setSearchString(const QString& string);
    QString replaceString() const { return _replaceString; }
    void setReplaceString(const QString& string);
    bool regularExpression() const { return _regularExpression; }
    // Stores a changed value under "QVDoGrepKey"; the value already held writes nothing.
    void setRegularExpression(bool regularExpression);
    bool matchCase() const { return _matchCase; }
    // Stores a changed value under "QVDoMatchCaseKey".
    void setMatchCase(bool matchCase);
    bool valid() const { return _valid; }
    void setValid(bool valid);
    QString status() const { return _status; }
    void setStatus(const QString& status);

    // What a window's bound control calls: sets "searchString", "replaceString",
    // "regularExpression" or "matchCase", then validates.
    void setValue(const QVariant& value, const QString& key);

    // The extended input hands its text back: with code 1 it becomes the search text when tag
    // is SearchFieldTag, else the replacement text; any other code changes nothing.
    void extendedInputFinished(const QString& input, int tag, int returnCode);

    // The application became active: take over a changed find-pasteboard text.
    void applicationDidActivate() { loadSearchFromFindPasteboard(); }

Q_SIGNALS:
    // Any of the properties changed; windows refresh their controls.
    void stateChanged();

protected:
    void loadSearchFromFindPasteboard();
    void handleSearchChanged(const Notification& notification);

private:
    QString _searchString;
    QString _replaceString;
    bool _regularExpression = false;
    bool _matchCase = false;
    bool _valid = false;
    QString _status;
    QString _lastFindPasteboardString;
    NotificationCenter::Token _setSearchStringToken = 0;
};

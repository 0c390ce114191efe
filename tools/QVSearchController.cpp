// The find windows' shared state.
#include "tools/QVSearchController.h"

#include "platform/AppBundle.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "tools/QVFindPasteboard.h"
#include "tools/QVSearchNotifications.h"

#include <QGuiApplication>

QVSearchController::QVSearchController(QObject* parent) : QObject(parent) {
    auto& defaults = UserDefaults::standard();
    _regularExpression = defaults.boolForKey(QVDoGrepKey);
    _matchCase = defaults.boolForKey(QVDoMatchCaseKey);
    loadSearchFromFindPasteboard();
    _setSearchStringToken = NotificationCenter::defaultCenter().addObserver(
        QVSetSearchString, nullptr, [this](const Notification& n) { handleSearchChanged(n); });
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive) applicationDidActivate();
        });
    }
    // A window that opens with the pasteboard's text can search it at once.
    validate();
}

QVSearchController::~QVSearchController() {
    NotificationCenter::defaultCenter().removeObserver(_setSearchStringToken);
}

QVSearch QVSearchController::search() const {
    QVSearch search;
    if (_regularExpression) {
        search = QVSearch::withExpressionString(_searchString, _matchCase);
    } else {
        search = QVSearch::withSearchString(_searchString);
        search.setCaseSensitive(_matchCase);
    }
    search.setReplaceString(_replaceString);
    return search;
}

void QVSearchController::setSearch(const QVSearch& search) {
    setRegularExpression(search.isRegularExpression());
    setMatchCase(search.caseSensitive());
    setSearchString(search.searchString());
    setReplaceString(search.replaceString());
}

void QVSearchController::rememberSearch() {
    remember(_searchString, QStringLiteral("QVSearchHistory"));
    remember(_replaceString, QStringLiteral("QVReplaceHistory"));
}

void QVSearchController::remember(const QString& string, const QString& key) {
    auto& defaults = UserDefaults::standard();
    QVariantList list = defaults.arrayForKey(key);
    const QString entry = string.isNull() ? QStringLiteral("") : string;
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (list[i].typeId() == QMetaType::QString && list[i].toString() == entry) {
            list.removeAt(i);
            break;
        }
    }
    list.prepend(entry);
    if (list.size() > HistoryLimit) list.removeLast();
    defaults.setObject(list, key);
}

QStringList QVSearchController::history(const QString& key) {
    QStringList strings;
    for (const QVariant& value : UserDefaults::standard().arrayForKey(key)) {
        if (value.typeId() == QMetaType::QString) strings << value.toString();
    }
    return strings;
}

void QVSearchController::validate() {
    bool ok = !_searchString.isEmpty();
    if (_regularExpression && !QVSearch::validRegexSearch(_searchString)) {
        ok = false;
        setStatus(QVLocalized(QStringLiteral("Invalid search regular expression")));
    }
    if (_regularExpression && !QVSearch::validRegexReplace(_replaceString)) {
        setStatus(QVLocalized(QStringLiteral("Invalid replace regular expression")));
        setValid(false);
        return;
    }
    // Only a message left by an invalid entry goes: "Not found" of a valid one stays.
    if (ok && !_valid) setStatus(QString());
    setValid(ok);
}

void QVSearchController::setSearchString(const QString& string) {
    if (string == _searchString && string.isNull() == _searchString.isNull()) return;
    _searchString = string;
    Q_EMIT stateChanged();
}

void QVSearchController::setReplaceString(const QString& string) {
    if (string == _replaceString && string.isNull() == _replaceString.isNull()) return;
    _replaceString = string;
    Q_EMIT stateChanged();
}

void QVSearchController::setRegularExpression(bool regularExpression) {
    if (regularExpression == _regularExpression) return;
    _regularExpression = regularExpression;
    UserDefaults::standard().setBool(regularExpression, QVDoGrepKey);
    Q_EMIT stateChanged();
}

void QVSearchController::setMatchCase(bool matchCase) {
    if (matchCase == _matchCase) return;
    _matchCase = matchCase;
    UserDefaults::standard().setBool(matchCase, QVDoMatchCaseKey);
    Q_EMIT stateChanged();
}

void QVSearchController::setValid(bool valid) {
    if (valid == _valid) return;
    _valid = valid;
    Q_EMIT stateChanged();
}

void QVSearchController::setStatus(const QString& status) {
    if (status == _status && status.isNull() == _status.isNull()) return;
    _status = status;
    Q_EMIT stateChanged();
}

void QVSearchController::setValue(const QVariant& value, const QString& key) {
    if (key == u"searchString") setSearchString(value.toString());
    else if (key == u"replaceString") setReplaceString(value.isNull() ? QString() : value.toString());
    else if (key == u"regularExpression") setRegularExpression(value.toBool());
    else if (key == u"matchCase") setMatchCase(value.toBool());
    validate();
}

void QVSearchController::extendedInputFinished(const QString& input, int tag, int returnCode) {
    if (returnCode != 1) return;
    setValue(input, tag == SearchFieldTag ? QStringLiteral("searchString") : QStringLiteral("replaceString"));
}

void QVSearchController::loadSearchFromFindPasteboard() {
    const QString string = QVFindPasteboard::general().string();
    if (string.isEmpty() || string == _lastFindPasteboardString) return;
    _lastFindPasteboardString = string;
    setRegularExpression(false);
    setSearchString(string);
    validate();
}

void QVSearchController::handleSearchChanged(const Notification& notification) {
    const QVariant value = notification.userInfo.value(QVSearchStringKey);
    if (!value.isValid() || value.isNull()) return;
    setRegularExpression(false);
    setSearchString(value.toString());
    validate();
}

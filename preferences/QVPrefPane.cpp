// The pane base: registry of pane classes, lazy views, icons and the end of edits.
#include "preferences/QVPrefPane.h"

#include "shell/Defaults.h"

#include <QApplication>
#include <QHash>

namespace {

QHash<QString, QVPrefPane::Maker>& makers() {
    static QHash<QString, QVPrefPane::Maker> registry;
    return registry;
}

}  // namespace

QVPrefPane::QVPrefPane(const QString& displayName, QObject* parent) : QObject(parent), _displayName(displayName) {}

QVPrefPane::~QVPrefPane() {
    if (_mainView && !_mainView->parent()) delete _mainView.data();
}

void QVPrefPane::registerClass(const QString& className, Maker maker) { makers().insert(className, std::move(maker)); }

std::unique_ptr<QVPrefPane> QVPrefPane::create(const QString& className, const QString& displayName) {
    const auto maker = makers().constFind(className);
    if (maker == makers().constEnd()) return nullptr;
    std::unique_ptr<QVPrefPane> pane = (*maker)(displayName);
    if (!pane || !pane->hasView()) return nullptr;
    return pane;
}

bool QVPrefPane::allowSelect() {
    if (_mainView) return true;
    _mainView = loadView();
    if (_mainView && _mainView->layout()) _mainView->adjustSize();
    return _mainView != nullptr;
}

void QVPrefPane::select() {
    if (_firstResponder) _firstResponder->setFocus(Qt::OtherFocusReason);
}

void QVPrefPane::unselect() { endEditing(_mainView); }

void QVPrefPane::endEditing(QWidget* widget) {
    if (!widget) return;
    // A table's open editor hands its text to the model when it loses the focus (its delegate
    // commits on focus out), and a line edit reports editingFinished the same way.
    if (QWidget* focus = QApplication::focusWidget(); focus && widget->isAncestorOf(focus)) focus->clearFocus();
}

QIcon QVPrefPane::icon() {
    if (!_iconLoaded) {
        _iconLoaded = true;
        _icon = makeIcon();
    }
    return _icon;
}

QIcon QVPrefPane::makeIcon() {
    const QString name = iconName();
    if (name.isEmpty()) return {};
    const QString path = Defaults::pathForResource(name, QStringLiteral("png"), QStringLiteral("Images"));
    if (path.isEmpty()) return {};
    QIcon icon(path);
    return icon.availableSizes().isEmpty() ? QIcon() : icon;
}

QSize QVPrefPane::minSize() const { return _mainView ? _mainView->size() : QSize(); }
QSize QVPrefPane::maxSize() const { return _mainView ? _mainView->size() : QSize(); }

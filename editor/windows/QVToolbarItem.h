// A toolbar item named by its identifier. An item with a view is enabled exactly when its
// validator says so; one without a view is an ordinary action.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <QWidgetAction>

class QVToolbarItem;

class QVToolbarItemValidator {
public:
    virtual ~QVToolbarItemValidator() = default;
    virtual bool validateToolbarItem(const QVToolbarItem* item) const = 0;
};

class QVToolbarItem : public QWidgetAction {
    Q_OBJECT
public:
    QVToolbarItem(const QString& identifier, QObject* parent);

    QString itemIdentifier() const { return _identifier; }
    // The view the toolbar shows for the item; none for a plain action.
    QWidget* view() const { return _view; }
    void setView(QWidget* view);
    // Not owned: the validator outlives its items (they are its children).
    void setValidator(const QVToolbarItemValidator* validator) { _validator = validator; }
    void validate();

private:
    QString _identifier;
    QPointer<QWidget> _view;
    const QVToolbarItemValidator* _validator = nullptr;
};

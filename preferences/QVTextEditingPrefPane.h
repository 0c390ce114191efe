// The text-editing pane: editor settings bound to their keys and the editor font; the open
// editors are told of a change as it is made, one notification per kind of change.
#pragma once

#include "platform/UserDefaults.h"
#include "preferences/QVPrefPane.h"

#include <QFont>
#include <QList>

class QLineEdit;

class QVTextEditingPrefPane : public QVPrefPane {
    Q_OBJECT
public:
    explicit QVTextEditingPrefPane(const QString& displayName);
    ~QVTextEditingPrefPane() override;

    void startSession() override;
    void endSession() override;

    void chooseFont();
    // Stores the font as the editor font and shows it.
    void prefsFontChanged(const QFont& font);
    // "<family> — <size>pt".
    static QString displayNameForFont(const QFont& font);
    QLineEdit* fontField() const { return _fontField; }

protected:
    QString iconName() const override { return QStringLiteral("editing"); }
    QWidget* loadView() override;

private:
    // Posts the notifications of the changes made since the last ones, now or once the current
    // event is handled.
    void showInEditors();
    void showInEditorsSoon();

    QLineEdit* _fontField = nullptr;
    bool _showScheduled = false;
    QList<UserDefaults::Token> _observers;
    bool _sendGeneralNote = false;
    bool _sendLineNumbersNote = false;
    bool _sendFoldingNote = false;
};

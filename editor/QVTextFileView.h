// The text view of a file document: the editor view (its own scroll area) with its gutter.
#pragma once

#include "editor/QVFileView.h"

#include <QPointer>

class QVTextFileView : public QVFileView {
public:
    // Makes the editor view for the document's file at once: the document reads it before any
    // window asks for a widget.
    QVTextFileView(QVFileDocument* document, const QString& path);
    ~QVTextFileView() override;

    // Posts QVTextViewIsClosing with the editor view.
    void close() override;
    void releaseAndDestroy() override;
    // "position": the visible origin of the text as "{x, y}".
    QVariantMap plistRepresentationForProject() const override;
    QWidget* mainView() override;
    bool loadFromPath(const QString& path, const QString& actionName, QVError* error) override;
    bool loadFromData(const QByteArray& data, const QString& path, const QString& actionName, QVError* error) override;
    // With an action name one undoable edit, else the text is replaced outright.
    void loadFromString(const QString& text, const QString& actionName) override;
    HTMLView* textView() override;

private:
    QPointer<HTMLView> _textView;
};

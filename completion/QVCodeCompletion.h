// The completion engine of a language bundle, built from its "completion.plist", and the value
// sheets that ask for a value before an accepted completion is inserted.
#pragma once

#include "completion/QVCodeCompletionEntry.h"
#include "languages/QVBundleComponent.h"
#include "platform/QVRange.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QVBundle;
class QVCodeCompletion;
class QVCodeIndex;

// A value sheet: asks the user for one value (a length, a colour, a path...) and reports it
// back to the engine that opened it. The widgets live in the widget library, which installs
// the factory that makes them; without it no sheet is made.
class QVCodeCompletionUI : public std::enable_shared_from_this<QVCodeCompletionUI> {
public:
    virtual ~QVCodeCompletionUI();

    // Shows the sheet over the window of the view it reports to; the base only keeps the engine.
    virtual void displayWithDelegate(const std::shared_ptr<QVCodeCompletion>& engine);
    // The text to insert.
    virtual QString stringValue() const { return {}; }
    // What the controls edit ("number", "units", "color", "value", "path"...).
    QVariantMap& values() { return _values; }
    const QVariantMap& values() const { return _values; }

    std::shared_ptr<QVCodeCompletion> delegate() const { return _delegate.lock(); }
    // The view the sheet reports to; null once that view is gone.
    QObject* receiver() const { return _receiver.data(); }
    // The document the completion was asked for, fixed when the sheet was made; empty for an
    // untitled document.
    const QString& documentPath() const { return _documentPath; }

    // Called by the sheet when it closes: 1 confirms, anything else cancels.
    void end(int result);

    // Makes the sheet of a kind ("path", "css") for a label ("length", "uri"...).
    using Factory = std::function<std::shared_ptr<QVCodeCompletionUI>(const QString& kind, const QString& label)>;
    static void registerFactory(Factory factory);
    static std::shared_ptr<QVCodeCompletionUI> make(const QString& kind, const QString& label);

private:
    friend class QVCodeCompletion;
    QVariantMap _values;
    std::weak_ptr<QVCodeCompletion> _delegate;
    // The pending callback belongs to the sheet, not to the engine, which every view of the
    // language shares: the value goes to the view and range it was asked for, and nowhere once
    // that view is gone.
    QPointer<QObject> _receiver;
    std::function<void(const QString&, QVRange)> _didEnd;
    QVRange _replacedRange;
    QString _documentPath;
    bool _ended = false;
};

// Engines are shared by every view of their language and used on the main thread; a request's
// context (partial word, replaced range) lives from one partial-word request to the next, so a
// view asks for the partial word, the candidates and, on acceptance, the replaced range within
// one turn of the event loop.
class QVCodeCompletion : public QVBundleComponent, public std::enable_shared_from_this<QVCodeCompletion> {
public:
    // Called with the final text and the range it replaces (fixed when the entry was accepted).
    using DidPostProcess = std::function<void(const QString& completion, QVRange replacedRange)>;

    QVCodeCompletion(const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist);
    ~QVCodeCompletion() override;

    // Registers the engines with the bundles' factories: "keyword", "tag" and the style-sheet
    // engine's class name. Idempotent and thread-safe.
    static void registerFactories();

    std::shared_ptr<QVBundle> bundle() const { return _bundle.lock(); }
    // The definition's "edit-class"; null without one.
    const QString& editClass() const { return _editClass; }
    // Not "hide-type-column".
    bool showTypeColumn() const { return _showTypeColumn; }
    // The document of the last candidates request.
    const QString& lastPath() const { return _lastPath; }

    // The index asked for keys and values (the shared one when null).
    void setCodeIndex(QVCodeIndex* index) { _index = index; }
    QVCodeIndex& codeIndex() const;

    // Writes plistRepresentation() as "<folder>/completion.plist" (binary, atomically).
    bool commitToPath(const QString& folder, QVError* error = nullptr) const;
    QVariantMap plistRepresentation() const override { return {}; }
    QStringList definitionKeys() const override;
    // The preferences' editable form of the entries, and its way back.
    virtual QVariantList entries(bool sorted) const;
    virtual void setEntries(const QVariantList& entries);

    // The range an accepted completion replaces, with the context of the last partial-word
    // request; not found when there is none.
    virtual QVRange keywordRangeForString(const QString& text, qint64 cursor);
    // The partial word at the caret (null: nothing to complete); records the context.
    virtual QString partialKeywordForString(const QString& text, qint64 cursor);
    // The candidates for the partial word in the document at file; nothing when none apply.
    virtual std::optional<QList<QVCodeCompletionEntry>> completionsForString(const QString& partial, const QString& file,
                                                                             qint64 cursor);
    virtual bool suggestAutomatically() const { return false; }

    // Whether the completion asks for a value first: it ends in an ellipsis. May rewrite it.
    virtual bool shouldShowUIForCompletion(QString& completion) const;
    // The sheet for a label (the completion without its ellipsis); null when there is none.
    virtual std::shared_ptr<QVCodeCompletionUI> createCodeCompletionUIForCompletion(const QString& label);

    // Hands the final text of an accepted completion to didEnd, at once or once a value sheet
    // confirms (never when it cancels, or when receiver is gone by then). False when nothing
    // will follow: a value for which no sheet exists beeps.
    bool postprocessCompletion(const QString& completion, QVRange replacedRange, QObject* receiver,
                               DidPostProcess didEnd);
    // The document a sheet's path is relative to; empty for an untitled document, whose paths
    // are inserted whole.
    QString pathForUI(const QVCodeCompletionUI& sheet) const { return sheet.documentPath(); }
    // A sheet ended: result 1 passes the value on to the sheet's view.
    virtual void uiEndedWithResult(QVCodeCompletionUI& sheet, int result, const QString& stringValue);
    // Sheets open now (window-modal: at most one per window).
    qsizetype openSheetCount() const { return qsizetype(_sheets.size()); }

    // What beeps (the widget library installs the application's beep).
    static void setBeepHandler(std::function<void()> handler);
    static void beep();

protected:
    void setLastPath(const QString& path) { _lastPath = path; }

private:
    std::weak_ptr<QVBundle> _bundle;
    QString _editClass;
    bool _showTypeColumn = true;
    QString _lastPath;
    QVCodeIndex* _index = nullptr;
    std::vector<std::shared_ptr<QVCodeCompletionUI>> _sheets;
};

// The caret's line in text: the range of the line holding cursor, without its break; the
// break's length in *breakLength (0 at the text's end, or when the line runs past the window).
// LF, CR and CR LF end lines. A line is cut to window characters either side of the caret, so
// a megabyte of minified text on one line costs each keystroke no more than that.
inline constexpr qint64 QVCompletionContextWindow = 4096;
QVRange qvLineRangeAt(const QString& text, qint64 cursor, qint64* breakLength = nullptr,
                      qint64 window = QVCompletionContextWindow);

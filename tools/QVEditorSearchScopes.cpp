// Window order, documents and their search side.
#include "tools/QVEditorSearchScopes.h"

#include "editor/HTMLView.h"
#include "editor/HTMLViewFind.h"
#include "editor/QVFileDocument.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "editor/windows/QVMultiFileWindowController.h"

#include <QApplication>
#include <QWindow>

namespace {

QVEditorSearchScopes::ProjectProvider& projectProvider() {
    static QVEditorSearchScopes::ProjectProvider provider;
    return provider;
}

QVEditorSearchScopes::Opener& opener() {
    static QVEditorSearchScopes::Opener open;
    return open;
}

// The windows in the order they were last activated, the latest first.
QList<QPointer<QVDocumentWindowController>>& activationOrder() {
    static QList<QPointer<QVDocumentWindowController>> order;
    return order;
}

void noteActivated(QWindow* window) {
    if (!window) return;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->windowHandle() != window) continue;
        if (auto* documentWindow = qobject_cast<QVDocumentWindowController*>(widget)) {
            auto& order = activationOrder();
            order.removeAll(QPointer<QVDocumentWindowController>(documentWindow));
            order.prepend(documentWindow);
        }
    }
}

QList<QVFileDocument*> documentsOf(QVDocumentWindowController* window) {
    if (auto* multi = qobject_cast<QVMultiFileWindowController*>(window)) return multi->openDocuments();
    if (QVFileDocument* document = window->document()) return {document};
    return {};
}

// A file document as the find tools see it. Every use first asks the window whether it still
// shows the document, so a pointer kept past the document's end is never followed.
class EditorSearchDocument : public QVSearchDocument, public QVFullTextSource {
public:
    EditorSearchDocument(QVDocumentWindowController* window, QVFileDocument* document)
        : _window(window), _document(document) {}

    QVFileDocument* live() const {
        if (!_window || !documentsOf(_window).contains(_document)) return nullptr;
        return _document;
    }
    HTMLView* view() const {
        QVFileDocument* document = live();
        return document ? document->textView() : nullptr;
    }

    QString fileName() const override {
        QVFileDocument* document = live();
        return document ? document->fileName() : QString();
    }
    QString displayName() const override {
        QVFileDocument* document = live();
        return document ? document->displayName() : QString();
    }
    QVFullTextSource::Handle textSource() const override { return view() ? handle() : QVFullTextSource::Handle(); }
    quint64 revision() const override {
        HTMLView* v = view();
        return v ? v->textStorage().revision() : 0;
    }
    bool applyReplaceAll(const QString& text, quint64 revision) override {
        HTMLView* v = view();
        if (!v || v->textStorage().revision() != revision) return false;
        HTMLViewFind::applyReplaceAll(*v, text);
        return true;
    }
    QVStringEncoding encoding() const override {
        QVFileDocument* document = live();
        return document ? document->encoding() : 0;
    }
    bool readInFallback() const override {
        QVFileDocument* document = live();
        return document && document->readInFallback();
    }
    const void* notificationObject() const override { return _document; }
    void fillStringWithFullString(QString& string) const override {
        if (HTMLView* v = view()) v->fillStringWithFullString(string);
        else string.clear();
    }

    QPointer<QVDocumentWindowController> _window;
    QVFileDocument* _document;
};

// One search document per file document while its window shows it: the runner holds documents
// only weakly, so this keeps them; one whose document left its window is let go at the next look.
QHash<QVFileDocument*, std::shared_ptr<EditorSearchDocument>>& made() {
    static QHash<QVFileDocument*, std::shared_ptr<EditorSearchDocument>> documents;
    return documents;
}

}  // namespace

QVEditorSearchScopes::QVEditorSearchScopes() {
    static bool watching = false;
    if (!watching && qApp) {
        watching = true;
        QObject::connect(qApp, &QGuiApplication::focusWindowChanged, qApp, &noteActivated);
        noteActivated(QGuiApplication::focusWindow());
    }
}

QVEditorSearchScopes::~QVEditorSearchScopes() = default;

QList<QVDocumentWindowController*> QVEditorSearchScopes::documentWindows() {
    QList<QVDocumentWindowController*> windows;
    auto& order = activationOrder();
    order.removeAll(QPointer<QVDocumentWindowController>());
    for (const auto& window : order)
        if (window->isVisible()) windows << window;
    // Windows never activated (shown without focus) come after, in creation order.
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<QVDocumentWindowController*>(widget))
            if (window->isVisible() && !windows.contains(window)) windows << window;
    return windows;
}

std::shared_ptr<QVSearchDocument> QVEditorSearchScopes::searchDocument(QVDocumentWindowController* window,
                                                                       QVFileDocument* document) {
    if (!window || !document) return nullptr;
    auto& documents = made();
    for (auto it = documents.begin(); it != documents.end();)
        it = (*it)->live() ? std::next(it) : documents.erase(it);
    if (const auto existing = documents.value(document); existing && existing->_window == window) return existing;
    auto fresh = std::make_shared<EditorSearchDocument>(window, document);
    if (!fresh->live()) return nullptr;
    documents.insert(document, fresh);
    return fresh;
}

QVFileDocument* QVEditorSearchScopes::fileDocument(const std::shared_ptr<QVSearchDocument>& document) {
    const auto* ours = dynamic_cast<const EditorSearchDocument*>(document.get());
    return ours ? ours->live() : nullptr;
}

std::shared_ptr<QVSearchDocument> QVEditorSearchScopes::frontDocument() {
    const auto windows = documentWindows();
    if (windows.isEmpty()) return nullptr;
    return searchDocument(windows.first(), windows.first()->document());
}

QList<std::shared_ptr<QVSearchDocument>> QVEditorSearchScopes::openDocuments() {
    QList<std::shared_ptr<QVSearchDocument>> documents;
    for (QVDocumentWindowController* window : documentWindows())
        for (QVFileDocument* document : documentsOf(window))
            if (auto searchable = searchDocument(window, document)) documents << searchable;
    return documents;
}

bool QVEditorSearchScopes::frontIsMultiFile() {
    const auto windows = documentWindows();
    return !windows.isEmpty() && qobject_cast<QVMultiFileWindowController*>(windows.first());
}

std::optional<QVEditorSearchScopes::Project> QVEditorSearchScopes::frontProject() {
    const auto windows = documentWindows();
    if (windows.isEmpty() || !projectProvider()) return std::nullopt;
    return projectProvider()(windows.first());
}

QString QVEditorSearchScopes::frontProjectRootPath() {
    const auto project = frontProject();
    return project ? project->rootPath : QString();
}

bool QVEditorSearchScopes::frontProjectHasRemoteSite() {
    const auto project = frontProject();
    return project && project->remote;
}

void QVEditorSearchScopes::setProjectProvider(ProjectProvider provider) { projectProvider() = std::move(provider); }

void QVEditorSearchScopes::setOpener(Opener open) { opener() = std::move(open); }

QVDocumentWindowController* QVEditorSearchScopes::open(const QString& path) {
    return opener() ? opener()(path) : nullptr;
}

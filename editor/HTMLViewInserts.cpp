// The editor's insert commands: snippets (from menus and keyword triggers), paths, images,
// file contents, formatting tags, links, character entities, and the context menu.
#include "editor/HTMLView.h"

#include "editor/QVBeep.h"
#include "editor/QVEditorToolSeams.h"
#include "editor/QVSnippetRepository.h"
#include "editor/QVSpecialCharacters.h"
#include "languages/QVParser.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/FileEncodings.h"
#include "shell/QVNoTextNotice.h"
#include "shell/StringPaths.h"
#include "shell/StringUtilities.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QMenu>
#include <QMetaMethod>

namespace {

const QString InsertSnippetAction = QStringLiteral("Insert Snippet");

// Text for a double-quoted attribute value.
QString escapedAttribute(const QString& text) {
    QString result = text;
    result.replace(u'&', QStringLiteral("&amp;"));
    result.replace(u'"', QStringLiteral("&quot;"));
    result.replace(u'<', QStringLiteral("&lt;"));
    result.replace(u'>', QStringLiteral("&gt;"));
    return result;
}

bool isWordCharacter(QChar c) { return c.isLetterOrNumber() || c == u'_'; }

// Whether position lies in markup (the page's own text), as its colouring says.
bool inMarkup(const QVTextStorage& text, qint64 position) {
    const QVParser* parser = QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, position));
    return parser && parser->identifier().startsWith(QStringLiteral("text.html"));
}

// A snippet's menu item inserts into the editor it belongs to (its context menu's), else into
// the editor that has the focus; without one it says so.
const bool snippetItemsInsert = [] {
    QVSnippetRepository::setInsertHandler([](const std::shared_ptr<QVSnippet>& snippet, QAction* item) {
        QObject* owner = item;
        while (owner && !qobject_cast<HTMLView*>(owner)) owner = owner->parent();
        if (!owner) {
            for (QWidget* widget = QApplication::focusWidget(); widget && !owner; widget = widget->parentWidget())
                if (qobject_cast<HTMLView*>(widget)) owner = widget;
        }
        if (auto* view = qobject_cast<HTMLView*>(owner)) view->insertSnippet(snippet);
        else QVNoTextNotice::show(item->text());
    });
    return true;
}();

}  // namespace

// --- Snippets -----------------------------------------------------------------------------------

bool HTMLView::insertSnippet(const std::shared_ptr<QVSnippet>& snippet) {
    if (!snippet || snippet->isDirectory()) return false;
    const QVRange selection = selectedRange();
    qint64 offset = 0;
    const std::optional<QString> expanded =
        snippet->stringWithSelection(_textStorage->fullStringInRange(selection), &offset, indentationBefore(selection.location));
    if (!expanded) {
        QVBeep::beep();
        return false;
    }
    // The caret offset is counted in the text as it goes in, with this view's line breaks.
    const QString before = StringUtilities::switchLineBreaks(expanded->left(offset), _lineBreak, _lineBreakName);
    const QString text = StringUtilities::switchLineBreaks(*expanded, _lineBreak, _lineBreakName);
    performUndoable([&] { replaceRange(selection, text); }, InsertSnippetAction);
    QVTextView::setSelectedRange(QVRange(selection.location + std::min<qint64>(before.size(), text.size()), 0));
    return true;
}

QString HTMLView::indentationBefore(qint64 position) const {
    const QVTextStorage& text = textStorage();
    const qint64 lineStart = text.lineStart(text.lineOfPosition(position));
    qint64 end = lineStart;
    while (end < position && (text.characterAt(end) == u' ' || text.characterAt(end) == u'\t')) ++end;
    return text.substring(QVRange(lineStart, end - lineStart));
}

void HTMLView::addSelectionAsSnippet() {
    const QVRange selection = selectedRange();
    if (selection.length == 0) {
        QVBeep::beep();
        return;
    }
    QVSnippetRepository::sharedRepository().addSnippetWithString(_textStorage->fullStringInRange(selection), this);
}

bool HTMLView::keywordComplete() {
    const QVRange selection = selectedRange();
    if (selection.length != 0) return false;
    const QVTextStorage& text = textStorage();
    qint64 start = selection.location;
    while (start > 0 && isWordCharacter(text.characterAt(start - 1))) --start;
    if (start == selection.location) return false;
    const QString word = text.substring(QVRange(start, selection.location - start));
    QVSnippetRepository& store = QVSnippetRepository::sharedRepository();
    store.loadIfNeeded();
    const std::shared_ptr<QVSnippet> snippet = store.snippetForKeywordTrigger(word);
    if (!snippet) return false;
    qint64 offset = 0;
    const std::optional<QString> expanded = snippet->stringWithSelection(QString(), &offset, indentationBefore(start));
    if (!expanded || expanded->isEmpty()) {
        // Nothing to put in: the word stays, the caret where it was.
        QVBeep::beep();
        return true;
    }
    const QString before = StringUtilities::switchLineBreaks(expanded->left(offset), _lineBreak, _lineBreakName);
    const QString inserted = StringUtilities::switchLineBreaks(*expanded, _lineBreak, _lineBreakName);
    const QVRange word_(start, selection.location - start);
    performUndoable([&] { replaceRange(word_, inserted); }, InsertSnippetAction);
    QVTextView::setSelectedRange(QVRange(start + std::min<qint64>(before.size(), inserted.size()), 0));
    return true;
}

// --- Tools --------------------------------------------------------------------------------------

void HTMLView::insertUserScript(const std::shared_ptr<QVUserScriptContext>& script) {
    if (!script) return;
    if (script->requiresSelection() && selectedRange().length == 0) {
        QVBeep::beep();
        return;
    }
    script->actOnTextView(*this);
}

void HTMLView::performTidy(const std::shared_ptr<QVTidyOperationItem>& operation) {
    if (operation && QVEditorToolSeams::tidyRunner()) QVEditorToolSeams::tidyRunner()(this, operation, true);
}

// --- Files --------------------------------------------------------------------------------------

void HTMLView::runInsertPanel(InsertContext context) {
    auto* dialog = new QFileDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFileMode(QFileDialog::ExistingFile);
    if (!path().isEmpty()) dialog->setDirectory(QFileInfo(path()).absolutePath());
    const QString platform = QGuiApplication::platformName();
    if (platform == QStringLiteral("offscreen") || platform == QStringLiteral("minimal"))
        dialog->setOption(QFileDialog::DontUseNativeDialog);
    if (context == InsertContext::Image) {
        QStringList patterns;
        for (const QByteArray& format : QImageReader::supportedImageFormats()) patterns << QStringLiteral("*.") + QString::fromLatin1(format);
        dialog->setNameFilter(QStringLiteral("Images (%1)").arg(patterns.join(u' ')));
    }
    connect(dialog, &QFileDialog::fileSelected, this, [this, context](const QString& file) { insertChosenFile(file, context); });
    dialog->open();
}

bool HTMLView::insertChosenFile(const QString& file, InsertContext context) {
    if (file.isEmpty()) return false;
    const QString shown = path().isEmpty() ? file : StringPaths::relativePathTo(path(), file);
    const auto report = [this](const QString& message) {
        QVBeep::beep();
        if (auto owner = delegate()) owner->htmlViewHadError(this, QVError::app(32, message), false);
    };
    switch (context) {
    case InsertContext::Path:
        undoableInsertText(shown, QStringLiteral("Insert Path"));
        return true;
    case InsertContext::Image: {
        QImageReader reader(file);
        const QSize size = reader.size();
        QString sizes;
        if (size.isValid() && reader.canRead()) {
            sizes = QStringLiteral(" width=\"%1\" height=\"%2\"").arg(size.width()).arg(size.height());
        } else {
            report(QStringLiteral("The image \"%1\" could not be read; its tag has no sizes.").arg(QFileInfo(file).fileName()));
        }
        const QString tag = QStringLiteral("<img src=\"%1\" alt=\"%2\"%3%4")
                                .arg(escapedAttribute(shown), escapedAttribute(QFileInfo(file).completeBaseName()), sizes,
                                     isXHTML() ? QStringLiteral(" />") : QStringLiteral(">"));
        undoableInsertText(tag, QStringLiteral("Insert Image"));
        return true;
    }
    case InsertContext::Contents: {
        QVStringEncoding encoding = _fileConfiguration ? QVStringEncoding(_fileConfiguration(FileEncodingKey).toULongLong()) : 0;
        QVError error;
        const std::optional<QString> text = FileEncodings::createWithContentsOfFile(file, &encoding, &error);
        if (!text) {
            report(QStringLiteral("The file \"%1\" could not be read as text.").arg(QFileInfo(file).fileName()));
            return false;
        }
        undoableInsertText(*text, QStringLiteral("Insert Contents of File"));
        return true;
    }
    }
    return false;
}

bool HTMLView::isXHTML() const {
    const QString head = textStorage().substring(QVRange(0, std::min<qint64>(length(), 1024)));
    if (head.contains(QStringLiteral("<!DOCTYPE"), Qt::CaseInsensitive))
        return head.contains(QStringLiteral("XHTML"), Qt::CaseInsensitive);
    return UserDefaults::standard().boolForKey(QVXHTMLTags);
}

// --- Formatting and entities --------------------------------------------------------------------

void HTMLView::formatText(int tag) {
    const QString name = tag == 4 ? QStringLiteral("strong") : tag == 5 ? QStringLiteral("em") : tag == 6 ? QStringLiteral("u") : QString();
    if (name.isEmpty()) return;
    const QVRange selection = selectedRange();
    const QString open = QStringLiteral("<%1>").arg(name);
    const QString text = open + textStorage().substring(selection) + QStringLiteral("</%1>").arg(name);
    // The selection's collapsed regions stay collapsed inside the tags.
    QVTextChange::Attachments regions = QVTextChange::attachmentsIn(textStorage(), selection);
    for (auto& region : regions) region.first += open.size();
    performUndoable([&] { replaceRange(selection, text, regions); }, QStringLiteral("Format Text"));
    QVTextView::setSelectedRange(QVRange(selection.location, text.size()));
}

void HTMLView::makeLinkFromMenu() {
    const QVRange selection = selectedRange();
    if (selection.length == 0 || selection.end() > length()) return;
    const QString href = QStringLiteral("<a href=\"%1\">").arg(_textStorage->fullStringInRange(selection));
    const QString text = href + textStorage().substring(selection) + QStringLiteral("</a>");
    QVTextChange::Attachments regions = QVTextChange::attachmentsIn(textStorage(), selection);
    for (auto& region : regions) region.first += href.size();
    performUndoable([&] { replaceRange(selection, text, regions); }, QStringLiteral("Make Link"));
}

void HTMLView::insertSpecialCharacter(const QString& entity) {
    if (!entity.isEmpty()) undoableInsertText(entity, QStringLiteral("Insert Character Entity"));
}

bool HTMLView::convertCharacterEntitiesToHTML() {
    finishHighlighting();
    const QVSpecialCharacters& table = QVSpecialCharacters::shared();
    QHash<QString, QString> entities;
    for (const QVSpecialCharacters::Entry& entry : table.table()) entities.insert(entry.appearance, entry.value);
    const QVRange selection = selectedRange();
    const QVTextStorage& text = textStorage();
    // Walk the visible text; a collapsed region's hidden text is markup when its place is.
    QString result;
    qint64 selectionStart = -1;
    bool replaced = false;
    const auto convert = [&](QStringView part, bool markup) {
        for (qsizetype i = 0; i < part.size(); ++i) {
            const qsizetype width = part[i].isHighSurrogate() && i + 1 < part.size() ? 2 : 1;
            const QString character = part.mid(i, width).toString();
            const auto found = markup ? entities.constFind(character) : entities.constEnd();
            if (found != entities.constEnd()) {
                result += found.value();
                replaced = true;
            } else {
                result += character;
            }
            i += width - 1;
        }
    };
    for (qint64 p = 0; p <= length(); ++p) {
        if (p == selection.location) selectionStart = result.size();
        if (p == length()) break;
        if (auto region = _textStorage->foldMarkerAt(p)) {
            convert(region->string(), inMarkup(text, p));
        } else {
            const qint64 width = text.characterAt(p).isHighSurrogate() && p + 1 < length() ? 2 : 1;
            convert(text.characters(QVRange(p, width)), inMarkup(text, p));
            if (width == 2 && p + 1 == selection.location) selectionStart = result.size();
            p += width - 1;
        }
    }
    if (!replaced) return false;
    undoableSetStringAsIs(result, QStringLiteral("Replace Character Entities"));
    QVTextView::setSelectedRange(QVRange(selectionStart, selection.length));
    viewport()->update();
    return true;
}

// --- Context menu -------------------------------------------------------------------------------

QMenu* HTMLView::createContextMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    const bool hasSelection = selectedRange().length > 0;
    const auto add = [&](const QString& title, bool enabled, auto slot) {
        QAction* item = menu->addAction(title, this, slot);
        item->setEnabled(enabled);
        return item;
    };
    add(QStringLiteral("Undo"), undoManager().canUndo(), [this] { undo(); });
    add(QStringLiteral("Redo"), undoManager().canRedo(), [this] { redo(); });
    menu->addSeparator();
    add(QStringLiteral("Cut"), hasSelection && isEditable(), [this] { cut(); });
    add(QStringLiteral("Copy"), hasSelection, [this] { copy(); });
    add(QStringLiteral("Paste"), isEditable(), [this] { paste(); });
    add(QStringLiteral("Select All"), length() > 0, [this] { selectAll(); });
    menu->addSeparator();
    // Indenting blocks is the typing aids' command; the items wait for it.
    for (const auto& [title, command] : {std::pair{QStringLiteral("Indent Block"), "entabBlock()"},
                                         std::pair{QStringLiteral("Outdent Block"), "detabBlock()"}}) {
        const int method = metaObject()->indexOfMethod(command);
        add(title, method >= 0 && isEditable(), [this, method] { metaObject()->method(method).invoke(this); });
    }
    menu->addSeparator();
    add(QStringLiteral("Add Selected Text as Snippet"), hasSelection, [this] { addSelectionAsSnippet(); });
    auto* snippets = new QMenu(QStringLiteral("Insert Snippet"), menu);
    QVSnippetRepository::sharedRepository().buildMenu(snippets, false);
    QAction* item = menu->addMenu(snippets);
    item->setProperty("tag", 42884);
    return menu;
}

void HTMLView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = createContextMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
    event->accept();
}

// One snippet: a file of the snippets folder (text to insert, with its key combination and
// keyword trigger), or a folder of them.
#pragma once

#include "shell/MenuItemRep.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

// A snippet file is text (UTF-16 with its byte-order mark as Qorvel writes it; a file without
// one reads as UTF-8) holding the body to insert and optional metadata lines:
//   "# %%%{QVKeyEquivalent=<combination>}%%%"    the menu item's key combination
//   "# %%%{QVKeywordComplete=<word>}%%%"         a word that Tab replaces by the snippet
// Lines that are "#" followed by a blank, a tab or the line's end are comments, removed on
// expansion. The body's variables: "[*sel]" the selection, "[*cur]" the caret (the first one),
// "[*<line>]" ... "[*</line>]" a block repeated for every non-empty line of the selection.
//
// A snippet is read on the thread that builds the tree and is immutable once parsed, so a tree
// swapped in whole may be read from the main thread while another is built.
class QVSnippet {
public:
    QVSnippet(QString path, bool isDirectory);

    const QString& path() const { return _path; }
    bool isDirectory() const { return _isDirectory; }
    // The menu title: the file or folder name.
    QString title() const;
    void addObject(std::shared_ptr<QVSnippet> child) { _children.push_back(std::move(child)); }
    const std::vector<std::shared_ptr<QVSnippet>>& children() const { return _children; }

    // The key of the key combination ("" when the file has none) and its modifier characters'
    // mask (StringUtilities::actualKeyWithModifier); parsed from the file on first ask.
    QString keyEquivalent();
    quint64 keyEquivalentModifiers();
    // The trigger word, or empty.
    QString keywordTrigger();
    // Reads the metadata from the file now (a folder has none).
    void parse();

    // The menu item of the snippet: its title, the action "insertSnippet:" for a file (none for
    // a folder), the key combination when allowed, the document or folder icon, the indentation
    // level and the snippet itself as represented object.
    MenuItemRep menuItemRepWithIndentation(qint64 level, bool allowKeyEquivalent);

    // The expanded text of the file for selection, or nothing when the file cannot be read or a
    // line block is not closed. *cursorOffset (when asked) receives the caret's offset in the
    // result: where the first "[*cur]" was (that marker removed), else the result's length.
    // Every line the body itself starts (not those the selection brings along, which keep
    // their own) begins with indentation, the blanks of the line the snippet goes into.
    std::optional<QString> stringWithSelection(const QString& selection, qint64* cursorOffset,
                                               const QString& indentation = {}) const;
    // The same expansion of a body already read.
    static std::optional<QString> expand(const QString& body, const QString& selection, qint64* cursorOffset,
                                         const QString& indentation = {});

    // The text of a snippet file: UTF-16 by its byte-order mark, else UTF-8. Nothing when the
    // file cannot be read.
    static std::optional<QString> readFile(const QString& path);
    // The bytes Qorvel writes for a snippet: UTF-16 with a byte-order mark.
    static QByteArray fileData(const QString& text);

private:
    QString _path;
    std::vector<std::shared_ptr<QVSnippet>> _children;
    quint64 _keyEquivalentModifiers = 0;
    std::optional<QString> _keyEquivalent;
    QString _keywordTrigger;
    bool _isDirectory = false;
};

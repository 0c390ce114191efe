// The bundle editors: the file categories a bundle claims, and the keyword and tag syntax with
// their folding options, whose patterns are checked as they are typed.
#pragma once

#include "preferences/QVLanguagePane.h"

#include <QStringList>
#include <QVariantList>

class QDialog;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QStandardItemModel;
class QVKeywordBasedParser;
class QVParser;
class QVTagBasedParser;

// The file categories the bundle claims: every text category, the claimed ones checked.
class QVBundleLangPane : public QVLanguagePane {
    Q_OBJECT
public:
    using QVLanguagePane::QVLanguagePane;

    // The claimed titles in the bundle's order, then the newly checked ones.
    QStringList fileCategories() const { return _fileCategories; }
    void setCategoryClaimed(const QString& title, bool claimed);
    // Leaving with changes: the bundle claims the categories that still exist, the extension map
    // is rebuilt, and the bundle is saved and the change announced when the session ends.
    void unselect() override;
    QListWidget* categoryList() const { return _list; }

protected:
    QWidget* loadView() override;

private:
    QStringList _fileCategories;
    QListWidget* _list = nullptr;
};

// The syntax editors' base: the fold patterns and their check.
class QVSyntaxLangPane : public QVLanguagePane {
    Q_OBJECT
public:
    QVSyntaxLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate);
    // An options sheet left open was never confirmed: what it holds is dropped.
    void unselect() override;

    std::shared_ptr<QVParser> parser() const { return _parser; }
    QString foldOpener() const { return _foldOpener; }
    QString foldCloser() const { return _foldCloser; }
    // Stores the pattern and says in status() why it cannot be used, if it cannot.
    void setFoldOpener(const QString& pattern);
    void setFoldCloser(const QString& pattern);
    QString status() const { return _status; }

    // The folding options sheet. Confirming hands valid patterns (and the keyword characters) to
    // the parser; it cannot be confirmed while a pattern is invalid. Cancelling drops what was
    // typed.
    void options();
    bool closeOptions(bool confirm);
    QDialog* optionsPanel() const { return _optionsPanel; }

protected:
    virtual void takeOptions(bool confirm) { Q_UNUSED(confirm); }
    virtual void addOptionFields(QDialog* panel, class QFormLayout* form) { Q_UNUSED(panel); Q_UNUSED(form); }
    void updateStatus();

private:
    std::shared_ptr<QVParser> _parser;
    QString _foldOpener;
    QString _foldCloser;
    QString _status;
    QDialog* _optionsPanel = nullptr;
    QLabel* _statusField = nullptr;
    QPushButton* _confirm = nullptr;
};

// Keyword groups per style: the groups on the left, their keywords on the right.
class QVKeywordSyntaxLangPane : public QVSyntaxLangPane {
    Q_OBJECT
public:
    QVKeywordSyntaxLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate);

    std::shared_ptr<QVKeywordBasedParser> keywordParser() const;
    // {"title": style, "keywords": [{"title": word}]} as shown now.
    QVariantList identifiers() const;
    QString keywordCharacters() const { return _keywordCharacters; }
    void setKeywordCharacters(const QString& characters) { _keywordCharacters = characters; }
    // Adds word to the group unless a group lists it already (in the parser's case rule); a word
    // typed over another that some group lists is refused the same way.
    bool addKeyword(int group, const QString& word);
    // Leaving with changes hands the groups to the parser and queues the highlighting change.
    void unselect() override;
    QStandardItemModel* model() const { return _model; }

protected:
    QWidget* loadView() override;
    void takeOptions(bool confirm) override;
    void addOptionFields(QDialog* panel, QFormLayout* form) override;

private:
    // The group listing word, other than at except; none when no group does.
    const QStandardItem* groupListing(const QString& word, const QStandardItem* except) const;

    QStandardItemModel* _model = nullptr;
    QString _keywordCharacters;
    QLineEdit* _keywordCharactersField = nullptr;
};

// The styles a tag language colours its parts with ("tags", "attributes", "quotes", "comments":
// a theme's style identifier each).
class QVTagSyntaxLangPane : public QVSyntaxLangPane {
    Q_OBJECT
public:
    QVTagSyntaxLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate);

    std::shared_ptr<QVTagBasedParser> tagParser() const;
    // The style dictionary as edited now; parts without a style are left out.
    QVariantMap style() const;
    // Gives the part a style, as the table does; an empty one removes it.
    void setStyleValue(const QString& part, const QString& identifier);
    // Leaving with changes hands the styles to the parser and queues the highlighting change.
    void unselect() override;
    QStandardItemModel* model() const { return _model; }

protected:
    QWidget* loadView() override;

private:
    QVariantMap _style;
    QStandardItemModel* _model = nullptr;
};

// Registers the completion editors by the class names an engine's definition may give.
void registerStandardEditors();

// Which editor a property row of a bundle opens: null when the bundle has nothing such an
// editor can edit (the picker kind then says what may be offered).
enum class QVLanguageProperty { Completion, Navigation, Syntax };
std::unique_ptr<QVLanguagePane> makeLanguageEditor(QVLanguageProperty property, const std::shared_ptr<QVBundle>& bundle,
                                                   QVLanguagePaneDelegate* delegate, bool* offerPicker);

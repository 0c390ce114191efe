// The code-index editor: a bundle's indexer rules as they are read, with their switch, which is
// changed on the bundle's own indexer and saved with the bundle. Not among the languages pane's
// rows; a caller that wants it makes it for a bundle.
#pragma once

#include "preferences/QVLanguagePane.h"

#include <memory>

class QVCodeIndexer;

class QVCodeIndexLangPane : public QVLanguagePane {
    Q_OBJECT
public:
    QVCodeIndexLangPane(std::shared_ptr<QVBundle> bundle, QVLanguagePaneDelegate* delegate);

    std::shared_ptr<QVCodeIndexer> indexer() const { return _indexer; }
    bool indexingEnabled() const;
    // Tells the languages pane the bundle changed, then switches the rules.
    void setIndexingEnabled(bool enabled);
    // Drops the indexer.
    void unselect() override;

protected:
    QWidget* loadView() override;

private:
    std::shared_ptr<QVCodeIndexer> _indexer;
};

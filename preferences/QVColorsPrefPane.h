// The colours pane: the current colour theme, its styles drawn in the theme's own colours with
// two wells for the selected style, and the theme editor that duplicates and removes themes.
// A change shows in the open editors at once; the themes are written when the window closes.
#pragma once

#include "preferences/QVPrefPane.h"

#include <QColor>
#include <QColorDialog>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

#include <memory>


class QComboBox;
class QDialog;
class QListWidget;
class QPushButton;
class QStandardItemModel;
class QVColorWell;
class QVCustomSelectionColorTable;
class QVTheme;
class QVThemeRepository;

class QVColorsPrefPane : public QVPrefPane {
    Q_OBJECT
public:
    explicit QVColorsPrefPane(const QString& displayName, QVThemeRepository* repository = nullptr);

    bool allowSelect() override;
    void startSession() override;
    void endSession() override;

    QVThemeRepository& themeRepository() const { return *_repository; }
    std::shared_ptr<QVTheme> currentTheme() const { return _currentTheme; }
    // Takes the theme: the repository's current theme becomes it; nothing for the same theme.
    void setCurrentTheme(const std::shared_ptr<QVTheme>& theme);
    const QStringList& styles() const { return _styles; }

    // The pop-up's item at index: a theme is taken, "Edit Themes" opens the theme editor.
    void changeTheme(int index);
    void addStyle();
    // Beeps without a selected style.
    void removeStyle();
    // The wells' colours become the selected style's (a clear well removes that colour).
    void changeStyleColor();
    // Renames the style at row; an empty name, the same name or a name in use changes nothing.
    bool renameStyle(int row, const QString& name);
    void selectStyle(int row);
    // Writes the themes when one was changed or another taken; posts the highlighting change.
    void apply();

    // "new-<n>" with the smallest n the theme does not use.
    QString newUniqueID() const;
    QVariantMap attributesForRow(int row) const;
    QVariantMap currentAttributes() const;

    // The theme editor sheet.
    void openThemeEditor();
    void duplicateTheme();
    void removeTheme();
    void closeThemeEditor();
    QDialog* editThemesPanel() const { return _editThemesPanel; }
    QListWidget* themeList() const { return _themeList; }

    // The colour picker for a well, as a click on the well opens it; taking a colour sets the
    // well, which recolours the selected style. Left open at the end of the session, it is
    // dropped.
    void chooseColor(QVColorWell* well);
    QColorDialog* colorPanel() const { return _colorPanel; }

    QComboBox* themeSelector() const { return _themeSelector; }
    QVCustomSelectionColorTable* tableView() const { return _tableView; }
    QVColorWell* backgroundWell() const { return _backgroundColor; }
    QVColorWell* foregroundWell() const { return _foregroundColor; }
    QPushButton* removeStyleButton() const { return _removeStyleButton; }
    bool hasUnsavedThemes() const { return _unsaved; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    QString iconName() const override { return QStringLiteral("ColorPanel"); }
    QWidget* loadView() override;

private:
    // Tells the open editors that the themes changed.
    void showInEditors();
    void loadData();
    void reloadTable();
    void updateThemeEditorButtons();
    int selectedRow() const;

    QVThemeRepository* _repository;
    std::shared_ptr<QVTheme> _currentTheme;
    QStringList _styles;
    bool _changedThemes = false;
    bool _unsaved = false;
    bool _loaded = false;
    QComboBox* _themeSelector = nullptr;
    QVCustomSelectionColorTable* _tableView = nullptr;
    QStandardItemModel* _model = nullptr;
    QVColorWell* _backgroundColor = nullptr;
    QVColorWell* _foregroundColor = nullptr;
    QPushButton* _removeStyleButton = nullptr;
    QDialog* _editThemesPanel = nullptr;
    QListWidget* _themeList = nullptr;
    QPushButton* _removeThemeButton = nullptr;
    QPushButton* _duplicateThemeButton = nullptr;
    bool _reloading = false;
    QPointer<QColorDialog> _colorPanel;
};

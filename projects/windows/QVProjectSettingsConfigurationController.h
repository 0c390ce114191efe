// The table of a project's own settings in the settings window: one row per known setting
// (its title from the "ProjectSettingTitles" strings, sorted by it), a check box for a flag and
// a text cell otherwise, and the selected setting's description below. A stored value of the
// wrong kind shows, and is handed back, as the setting's default.
#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <QWidget>

class QLabel;
class QTableView;

class QVProjectSettingsConfigurationItem {
public:
    QVProjectSettingsConfigurationItem(const QString& key, const QVariant& value) : _key(key), _value(value) {}
    const QString& key() const { return _key; }
    const QVariant& value() const { return _value; }
    void setValue(const QVariant& value) { _value = value; }
    // The key in the "ProjectSettingTitles" and "ProjectSettingDescriptions" strings (the key
    // itself when missing).
    QString localizedKey() const;
    QString localizedDescription() const;

private:
    QString _key;
    QVariant _value;
};

class QVProjectSettingsConfigurationModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { TitleColumn = 0, ValueColumn = 1 };
    using QAbstractTableModel::QAbstractTableModel;

    // The known settings and their defaults, in this order: the remote preview address (""),
    // connect automatically (on), upload automatically (on).
    static QList<QVProjectSettingsConfigurationItem> knownSettings();
    // One row per known setting: the stored value when it is of the default's kind, else the
    // default; sorted by title.
    void loadConfiguration(const QVariantMap& stored);
    // Key -> value of every row.
    QVariantMap configurationDictionary() const;
    const QList<QVProjectSettingsConfigurationItem>& items() const { return _items; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // A value keeps its row's kind: a flag stays a flag, a text stays a text.
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QList<QVProjectSettingsConfigurationItem> _items;
};

class QVProjectSettingsConfigurationController : public QWidget {
    Q_OBJECT

public:
    explicit QVProjectSettingsConfigurationController(QWidget* parent = nullptr);
    ~QVProjectSettingsConfigurationController() override;

    // The rows of these stored settings, the selection cleared.
    void loadConfiguration(const QVariantMap& stored);
    QVariantMap configurationDictionary() const { return _model->configurationDictionary(); }

    QTableView* tableView() const { return _tableView; }
    QLabel* descriptionField() const { return _descriptionTextField; }
    QVProjectSettingsConfigurationModel* model() const { return _model; }

private:
    void selectionDidChange();

    QTableView* _tableView;
    QLabel* _descriptionTextField;
    QVProjectSettingsConfigurationModel* _model;
};

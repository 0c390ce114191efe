// The strip at the bottom of every document window: language mode, line and column, the escape
// flag, progress and the status text, laid out by bar mode, with messages over it.
#pragma once

#include "editor/QVStatusBarDelegate.h"
#include "editor/QVStatusMessages.h"

#include <QList>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>

#include <QAbstractAnimation>
class QComboBox;
class QLabel;
class QProgressBar;
class QVBundle;
class QVBundleRepository;

// Left to right: a pop-up of language modes, the line and column ("%lu::%lu"), "ESC", a
// progress indicator and the status text (which stretches to the right end), with thin
// separators between them. A representation pop-up (local, remote, difference) exists but no
// layout shows it. Changing the mode can move and fade the elements into their new places
// (0.75 seconds, never blocking). Warnings and announcements are messages in an overlay over
// the bar, never in the status text.
class QVStatusBar : public QWidget {
    Q_OBJECT
public:
    enum Mode { Local = 0, Remote = 1, LocalAndRemote = 2, Transfer = 3 };
    static constexpr int BarHeight = 22;
    static constexpr int AnimationDuration = 750;

    // A bar in the local layout whose mode pop-up lists repository's bundles (the shared
    // repository's when null) by title, ignoring case, without the hidden ones.
    explicit QVStatusBar(QWidget* parent = nullptr, QVBundleRepository* repository = nullptr);
    ~QVStatusBar() override;

    int barMode() const { return _mode; }
    // Lays out for mode (0-3) when it differs from the current one.
    void setBarMode(int mode, bool animate);
    // The active document; none disables the pop-ups.
    void setDelegate(std::weak_ptr<QVStatusBarDelegate> delegate);
    std::shared_ptr<QVStatusBarDelegate> delegate() const { return _delegate.lock(); }
    // Whether the active document is a text document (else the pop-ups are disabled).
    void setIsText(bool flag);
    // Selects bundle's item in the mode pop-up; "Unknown" when it has none.
    void setMode(const std::shared_ptr<QVBundle>& bundle);
    std::shared_ptr<QVBundle> selectedMode() const;
    void setEscaped(bool flag);
    // "line::column"; line 0 empties the field.
    void setLineNumber(quint64 line, quint64 column);
    void setStatus(const QString& status);
    // What stays said of the active document while it is open (the encoding it was read in when
    // that is not the one asked for): the status text shows it whenever it has nothing else.
    void setDocumentNotice(const QString& notice);
    void showProgress(bool flag);
    // A message over the bar that fades out.
    void showWarning(const QString& message);
    // Only in the remote layout: selects the representation and announces it, sliding onto
    // the representation pop-up.
    void setRepresentationType(int type);

    // The controls, for windows and tests.
    QComboBox* modeSelector() const { return _modeSelector; }
    QComboBox* representationSelector() const { return _repSelector; }
    QProgressBar* progressIndicator() const { return _progressIndicator; }
    QLabel* statusField() const { return _statusField; }
    QLabel* lineColumnField() const { return _lineColumnField; }
    QLabel* escapeField() const { return _escapeField; }
    QList<QLabel*> separators() const { return _separators; }
    // The elements shown in the current layout, left to right, separators included.
    QList<QWidget*> placedElements() const;
    // The running layout animation; null when none.
    QAbstractAnimation* layoutAnimation() const { return _animation; }
    QVStatusBarOverlayWindow* overlay() const { return _overlay; }
    // The overlay, made over the bar's window on first need.
    QVStatusBarOverlayView* overlayView();

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void layoutForMode(int mode, bool animate);
    void place(QWidget* view, int& x, bool animate, bool stretch);
    void hide(QWidget* view, bool animate);
    void addSeparator(int& x);
    void validate();
    void fillModeSelector(QVBundleRepository& repository);
    void selectMode(int index);
    void placeOverlay();
    void animationDidEnd();

    QComboBox* _modeSelector;
    QComboBox* _repSelector;
    QProgressBar* _progressIndicator;
    QLabel* _statusField;
    QLabel* _lineColumnField;
    QLabel* _escapeField;
    std::weak_ptr<QVStatusBarDelegate> _delegate;
    bool _notText = false;
    QList<QLabel*> _separators;
    int _mode = Local;
    QPointer<QVStatusBarOverlayWindow> _overlay;
    QPointer<QWidget> _overlayHost;
    QList<std::shared_ptr<QVBundle>> _modeBundles;  // by mode pop-up index; null for "Unknown" and the separator
    QList<QWidget*> _placed;
    QPointer<QAbstractAnimation> _animation;
    QList<QPointer<QWidget>> _hiding;  // elements fading out; hidden when the animation ends
    QString _status;
    QString _documentNotice;
};

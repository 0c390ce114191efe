// The function prototypes of a language, and which call and argument a caret is in.
#pragma once

#include <QString>
#include <QStringView>
#include <QVariantMap>

#include <memory>

class QVBundle;
class QVRegex;

// Built from "hinting.plist": a dictionary from function name to prototype string. Everything is
// found within the line that holds the caret. Immutable after construction; safe to share.
class QVCodeHinting {
public:
    static inline const QString FileName = QStringLiteral("hinting.plist");

    QVCodeHinting(std::weak_ptr<QVBundle> bundle, const QVariantMap& plist);

    // The prototype of the function whose call holds the caret at location of text; null when
    // the caret is in no call, or the function has no prototype (or one that is not a string).
    // argumentNumber receives the caret's zero-based argument whenever a function is found.
    QString prototypeInString(const QString& text, qint64 location, qint64* argumentNumber = nullptr) const;
    // The name of the function whose call holds the caret: the nearest unclosed "(" before the
    // caret on its line, with a name right before it (blanks between them allowed). Null when
    // there is none; argumentNumber is then left alone.
    QString functionNameInString(const QString& text, qint64 location, qint64* argumentNumber = nullptr) const;
    // The name of the function whose "(" is the last character of text before index (only text
    // before index is looked at); null when none.
    QString functionNameBefore(qint64 index, QStringView text) const;
    // The zero-based argument at position of the text that follows a call's "(": the commas
    // outside quotes, nested parentheses and escapes up to and including the character at
    // position.
    static qint64 argumentIndexInString(QStringView text, qint64 position);

    const QVariantMap& prototypes() const { return _prototypes; }
    std::shared_ptr<QVBundle> bundle() const { return _bundle.lock(); }

private:
    std::weak_ptr<QVBundle> _bundle;
    QVariantMap _prototypes;
    std::shared_ptr<const QVRegex> _functionNameExpr;
};

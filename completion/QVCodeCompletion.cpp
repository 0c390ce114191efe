#include "completion/QVCodeCompletion.h"

#include "completion/QVCodeIndex.h"
#include "languages/QVBundle.h"
#include "platform/MainQueue.h"
#include "shell/Defaults.h"

#include <QDir>

#include <algorithm>
#include <mutex>

namespace {

const QString kEllipsis = QString(QChar(0x2026));

struct SheetFactory {
    std::mutex lock;
    QVCodeCompletionUI::Factory factory;
    std::function<void()> beep;
};

SheetFactory& sheetFactory() {
    static SheetFactory registry;
    return registry;
}

}  // namespace

// ---- sheets -------------------------------------------------------------------------------

QVCodeCompletionUI::~QVCodeCompletionUI() = default;

void QVCodeCompletionUI::displayWithDelegate(const std::shared_ptr<QVCodeCompletion>& engine) { _delegate = engine; }

void QVCodeCompletionUI::end(int result) {
    if (_ended) return;
    _ended = true;
    // Keeps this sheet alive through the engine's release of it.
    const std::shared_ptr<QVCodeCompletionUI> keep = shared_from_this();
    if (const std::shared_ptr<QVCodeCompletion> engine = _delegate.lock())
        engine->uiEndedWithResult(*this, result, result == 1 ? stringValue() : QString());
}

void QVCodeCompletionUI::registerFactory(Factory factory) {
    SheetFactory& registry = sheetFactory();
    std::lock_guard locker(registry.lock);
    registry.factory = std::move(factory);
}

std::shared_ptr<QVCodeCompletionUI> QVCodeCompletionUI::make(const QString& kind, const QString& label) {
    Factory factory;
    {
        SheetFactory& registry = sheetFactory();
        std::lock_guard locker(registry.lock);
        factory = registry.factory;
    }
    return factory ? factory(kind, label) : nullptr;
}

// ---- engine -------------------------------------------------------------------------------

QVCodeCompletion::QVCodeCompletion(const std::shared_ptr<QVBundle>& bundle, const QVariantMap& plist)
    : _bundle(bundle) {
    const QVariant editClass = plist.value(QStringLiteral("edit-class"));
    if (editClass.typeId() == QMetaType::QString) _editClass = editClass.toString();
    const QVariant hide = plist.value(QStringLiteral("hide-type-column"));
    // A user's definition may hold a number or a string here; only a true boolean hides.
    _showTypeColumn = !(hide.typeId() == QMetaType::Bool && hide.toBool());
}

QVCodeCompletion::~QVCodeCompletion() = default;

QVCodeIndex& QVCodeCompletion::codeIndex() const { return _index ? *_index : QVCodeIndex::sharedIndex(); }

bool QVCodeCompletion::commitToPath(const QString& folder, QVError* error) const {
    return Defaults::writePlist(plistRepresentation(), QDir(folder).filePath(QVBundle::CompletionFileName), 200, error);
}

QStringList QVCodeCompletion::definitionKeys() const {
    return {QStringLiteral("class"), QStringLiteral("format-type"), QStringLiteral("keys"), QStringLiteral("elements"),
            QStringLiteral("properties")};
}

QVariantList QVCodeCompletion::entries(bool) const { return {}; }

void QVCodeCompletion::setEntries(const QVariantList&) {}

QVRange QVCodeCompletion::keywordRangeForString(const QString&, qint64) { return QVRange(); }

QString QVCodeCompletion::partialKeywordForString(const QString&, qint64) { return {}; }

std::optional<QList<QVCodeCompletionEntry>> QVCodeCompletion::completionsForString(const QString&, const QString&,
                                                                                   qint64) {
    return std::nullopt;
}

bool QVCodeCompletion::shouldShowUIForCompletion(QString& completion) const { return completion.endsWith(kEllipsis); }

std::shared_ptr<QVCodeCompletionUI> QVCodeCompletion::createCodeCompletionUIForCompletion(const QString&) {
    return nullptr;
}

bool QVCodeCompletion::postprocessCompletion(const QString& completion, QVRange replacedRange, QObject* receiver,
                                             DidPostProcess didEnd) {
    QString text = completion;
    if (!shouldShowUIForCompletion(text)) {
        if (didEnd) didEnd(completion, replacedRange);
        return true;
    }
    const std::shared_ptr<QVCodeCompletionUI> sheet = createCodeCompletionUIForCompletion(text.chopped(1));
    if (!sheet) {
        // A value the user cannot give: say so rather than end in silence.
        beep();
        return false;
    }
    sheet->_receiver = receiver;
    sheet->_didEnd = std::move(didEnd);
    sheet->_replacedRange = replacedRange;
    sheet->_documentPath = _lastPath;
    sheet->_delegate = weak_from_this();
    _sheets.push_back(sheet);
    std::weak_ptr<QVCodeCompletion> weakEngine = weak_from_this();
    std::weak_ptr<QVCodeCompletionUI> weakSheet = sheet;
    MainQueue::post([weakEngine, weakSheet] {
        const std::shared_ptr<QVCodeCompletion> engine = weakEngine.lock();
        const std::shared_ptr<QVCodeCompletionUI> open = weakSheet.lock();
        if (engine && open && !open->_ended) open->displayWithDelegate(engine);
    });
    return true;
}

void QVCodeCompletion::uiEndedWithResult(QVCodeCompletionUI& sheet, int result, const QString& stringValue) {
    const std::shared_ptr<QVCodeCompletionUI> keep = sheet.shared_from_this();
    sheet._ended = true;
    std::erase(_sheets, keep);
    const DidPostProcess didEnd = std::exchange(sheet._didEnd, nullptr);
    if (result == 1 && sheet._receiver && didEnd) didEnd(stringValue, sheet._replacedRange);
}

void QVCodeCompletion::setBeepHandler(std::function<void()> handler) {
    SheetFactory& registry = sheetFactory();
    std::lock_guard locker(registry.lock);
    registry.beep = std::move(handler);
}

void QVCodeCompletion::beep() {
    std::function<void()> handler;
    {
        SheetFactory& registry = sheetFactory();
        std::lock_guard locker(registry.lock);
        handler = registry.beep;
    }
    if (handler) handler();
}

QVRange qvLineRangeAt(const QString& text, qint64 cursor, qint64* breakLength, qint64 window) {
    const qint64 length = text.size();
    cursor = std::clamp<qint64>(cursor, 0, length);
    const QChar* data = text.constData();
    const auto isBreak = [data](qint64 i) { return data[i] == QLatin1Char('\n') || data[i] == QLatin1Char('\r'); };
    // A caret between CR and LF belongs to the line the CR ends.
    qint64 end = cursor;
    if (end > 0 && end < length && data[end - 1] == QLatin1Char('\r') && data[end] == QLatin1Char('\n')) --end;
    qint64 start = end;
    const qint64 lowest = std::max<qint64>(0, end - window);
    while (start > lowest && !isBreak(start - 1)) --start;
    const qint64 highest = std::min(length, end + window);
    while (end < highest && !isBreak(end)) ++end;
    if (breakLength) {
        *breakLength = 0;
        if (end < length && isBreak(end))
            *breakLength = data[end] == QLatin1Char('\r') && end + 1 < length && data[end + 1] == QLatin1Char('\n') ? 2 : 1;
    }
    return QVRange(start, end - start);
}

#include "kits/trellis/TRLURLBuilder.h"

namespace {

QString escapeBytes(const QString& text, const char* alsoEscaped) {
    QString out;
    const QByteArray utf8 = text.toUtf8();
    out.reserve(utf8.size());
    for (const char ch : utf8) {
        const uchar c = uchar(ch);
        const bool bad = c <= 0x20 || c >= 0x7f || strchr("\"<>{}\\^`|", c) || (alsoEscaped && strchr(alsoEscaped, c));
        if (bad)
            out += QStringLiteral("%%1").arg(c, 2, 16, QLatin1Char('0')).toUpper();
        else
            out += QLatin1Char(ch);
    }
    return out;
}

}  // namespace

TRLURLBuilder TRLURLBuilder::URLWithBase(const QString& base) {
    TRLURLBuilder b;
    b._URLString = base;
    return b;
}

void TRLURLBuilder::appendComponent(const QString& piece) { _URLString += piece; }

QString TRLURLBuilder::escapeString(const QString& text) { return escapeBytes(text, nullptr); }

void TRLURLBuilder::escapeAndAppendComponent(const QString& component) { _URLString += escapeBytes(component, "?#%"); }

void TRLURLBuilder::appendValue(const QVariant& value, const QString& name) {
    if (!value.isValid() || value.isNull()) return;
    _URLString += _queryParams++ == 0 ? QLatin1Char('?') : QLatin1Char('&');
    _URLString += name + QLatin1Char('=') + escapeBytes(value.toString(), "&=+#%");
}

QUrl TRLURLBuilder::URL() const {
    const QUrl url(_URLString, QUrl::StrictMode);
    return url.isValid() ? url : QUrl();
}

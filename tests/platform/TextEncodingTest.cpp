// Tests of the ICU conversion core: round trips in every encoding (checked against iconv), the
// stored encoding numbers, failure detection, lossy writing and the fallback's byte fidelity.
#include "platform/TextEncoding.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>

#include <unicode/ucnv.h>

namespace {

QVStringEncoding code(quint32 c) { return TextEncoding::fromPlatformCode(c); }

struct Sample {
    const char* label;
    QVStringEncoding encoding;
    quint64 storedNumber;  // the number project files hold for it
    const char* iconvName;
    QString text;
};

// One sample per encoding of the charset table and per one only pages declare, in the script
// the encoding is for.
std::vector<Sample> samples() {
    return {
        {"iso-8859-1", TextEncoding::ISOLatin1, 5, "ISO-8859-1", QStringLiteral("Caf\u00e9 cr\u00e8me \u00e0 la fran\u00e7aise \u00bf\u00a1")},
        {"iso-8859-2", code(0x0202), 9, "ISO-8859-2", QStringLiteral("Za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105 ja\u017a\u0144")},
        {"iso-8859-3", code(0x0203), 0x80000203, "ISO-8859-3", QStringLiteral("\u0126ar\u0121a \u010bar\u011d \u016d")},
        {"iso-8859-4", code(0x0204), 0x80000204, "ISO-8859-4", QStringLiteral("\u0100\u0112\u012a\u014c \u0138 \u0157")},
        {"iso-8859-5", code(0x0205), 0x80000205, "ISO-8859-5", QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442, \u043c\u0438\u0440")},
        {"iso-8859-6-i", code(0x0206), 0x80000206, "ISO-8859-6", QStringLiteral("\u0645\u0631\u062d\u0628\u0627 \u061f")},
        {"iso-8859-7", code(0x0207), 0x80000207, "ISO-8859-7", QStringLiteral("\u039a\u03b1\u03bb\u03b7\u03bc\u03ad\u03c1\u03b1")},
        {"iso-8859-8-i", code(0x0208), 0x80000208, "ISO-8859-8", QStringLiteral("\u05e9\u05dc\u05d5\u05dd \u05e2\u05d5\u05dc\u05dd")},
        {"iso-8859-9", code(0x0209), 0x80000209, "ISO-8859-9", QStringLiteral("\u011f\u00fc\u015f\u0130\u0131\u00f6\u00e7")},
        {"iso-8859-10", code(0x020A), 0x8000020A, "ISO-8859-10", QStringLiteral("\u014a\u0166\u0138 \u00f0\u00fe")},
        {"iso-8859-11", code(0x020B), 0x8000020B, "ISO-8859-11", QStringLiteral("\u0e2a\u0e27\u0e31\u0e2a\u0e14\u0e35")},
        {"iso-8859-13", code(0x020D), 0x8000020D, "ISO-8859-13", QStringLiteral("\u0105\u010d\u0119\u0117\u012f\u0161\u0173\u016b")},
        {"iso-8859-14", code(0x020E), 0x8000020E, "ISO-8859-14", QStringLiteral("\u0174\u0177 \u1e02\u1e03 \u1e80")},
        {"iso-8859-15", code(0x020F), 0x8000020F, "ISO-8859-15", QStringLiteral("\u20ac \u0160\u0161\u017d\u017e\u0152\u0153\u0178")},
        {"us-ascii", TextEncoding::ASCII, 1, "US-ASCII", QStringLiteral("Plain <html> & \"ASCII\" ~\t\n")},
        {"euc-jp", code(0x0920), 3, "EUC-JP", QStringLiteral("\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8 abc")},
        {"shift-jis", code(0x0A01), 0x80000A01, "SHIFT_JIS", QStringLiteral("\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8 \uff71\uff72")},
        {"iso-2022-jp", code(0x0820), 21, "ISO-2022-JP", QStringLiteral("\u65e5\u672c\u8a9e abc \u304b\u306a")},
        {"euc-kr", code(0x0940), 0x80000940, "EUC-KR", QStringLiteral("\ud55c\uad6d\uc5b4 \ud14d\uc2a4\ud2b8")},
        {"gb2312", code(0x0A05), 0x80000A05, "GB2312", QStringLiteral("\u4e2d\u6587\u6587\u672c\u6d4b\u8bd5")},
        {"big-5", code(0x0A03), 0x80000A03, "BIG5", QStringLiteral("\u7e41\u9ad4\u4e2d\u6587")},
        {"koi8-r", code(0x0A02), 0x80000A02, "KOI8-R", QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442")},
        {"macintosh", code(0x0A04), 0x80000A04, "MACINTOSH", QStringLiteral("Caf\u00e9 \u00a9 \u2020 \u03c0")},
        {"windows-1250", code(0x0501), 15, "WINDOWS-1250", QStringLiteral("\u017b\u00f3\u0142\u0107 \u20ac")},
        {"windows-1251", code(0x0502), 11, "WINDOWS-1251", QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442 \u20ac")},
        {"windows-1253", code(0x0503), 13, "WINDOWS-1253", QStringLiteral("\u039a\u03b1\u03bb\u03b7\u03bc\u03ad\u03c1\u03b1")},
        {"windows-1254", code(0x0504), 14, "WINDOWS-1254", QStringLiteral("\u011f\u00fc\u015f\u0130\u0131")},
        {"windows-1255", code(0x0505), 0x80000505, "WINDOWS-1255", QStringLiteral("\u05e9\u05dc\u05d5\u05dd")},
        {"windows-1256", code(0x0506), 0x80000506, "WINDOWS-1256", QStringLiteral("\u0645\u0631\u062d\u0628\u0627")},
        {"windows-1257", code(0x0507), 0x80000507, "WINDOWS-1257", QStringLiteral("\u0105\u010d\u0119\u0117")},
        {"utf-8", TextEncoding::UTF8, 4, "UTF-8", QStringLiteral("mixed \u65e5\u672c \u20ac \U0001F600")},
        {"utf-16", TextEncoding::UTF16, 10, "UTF-16LE", QStringLiteral("mixed \u65e5\u672c \u20ac \U0001F600")},
        // Read and written where pages declare them.
        {"windows-1252", TextEncoding::WindowsCP1252, 12, "WINDOWS-1252", QStringLiteral("\u201cQuotes\u201d \u2014 caf\u00e9 \u20ac \u0160")},
        {"gb18030", TextEncoding::GB18030, 0x80000632, "GB18030", QStringLiteral("\u9eb5\u5305\u5e97 \u20ac \u00e9 \U00020000")},
        {"big5-hkscs", TextEncoding::Big5HKSCS, 0x80000A06, "BIG5-HKSCS", QStringLiteral("\u9eb5\u5305\u5e97 \u6d3e\u5c0d")},
        {"gbk", code(0x0631), 0x80000631, "GBK", QStringLiteral("\u9eb5\u5305\u5e97 \u4e2d\u6587")},
        {"windows-1258", code(0x0508), 0x80000508, "WINDOWS-1258", QStringLiteral("\u0111\u01b0\u01a1ng \u20ac")},
        {"windows-874", code(0x041D), 0x8000041D, "WINDOWS-874", QStringLiteral("\u0e2a\u0e27\u0e31\u0e2a\u0e14\u0e35 \u20ac")},
        {"koi8-u", code(0x0A08), 0x80000A08, "KOI8-U", QStringLiteral("\u0404\u0456\u0457 \u0490\u0491")},
    };
}

QByteArray iconvEncode(const QString& text, const char* to) {
    QProcess iconv;
    iconv.start(QStringLiteral("iconv"), {QStringLiteral("-f"), QStringLiteral("UTF-8"), QStringLiteral("-t"),
                                          QString::fromLatin1(to)});
    if (!iconv.waitForStarted(5000)) return {};
    iconv.write(text.toUtf8());
    iconv.closeWriteChannel();
    iconv.waitForFinished(10000);
    return iconv.exitCode() == 0 ? iconv.readAllStandardOutput() : QByteArray("iconv failed");
}

TEST(TextEncoding, EveryEncodingRoundTripsAndAgreesWithIconv) {
    const bool haveIconv = !QStandardPaths::findExecutable(QStringLiteral("iconv")).isEmpty();
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.label);
        EXPECT_EQ(s.encoding, s.storedNumber);
        ASSERT_TRUE(TextEncoding::isSupported(s.encoding));
        QVError error;
        const auto bytes = TextEncoding::encode(s.text, s.encoding, false, &error);
        ASSERT_TRUE(bytes.has_value()) << error.localizedDescription().toStdString();
        const auto back = TextEncoding::decode(*bytes, s.encoding, &error);
        ASSERT_TRUE(back.has_value()) << error.localizedDescription().toStdString();
        EXPECT_EQ(*back, s.text);
        // Nothing passes through a single-byte table's substitute.
        if (s.encoding != TextEncoding::UTF16) {
            EXPECT_FALSE(bytes->contains('\x1a'));
        }
        if (haveIconv) {
            QByteArray peer = iconvEncode(s.text, s.iconvName);
            if (s.encoding == TextEncoding::UTF16) peer.prepend("\xff\xfe");
            EXPECT_EQ(bytes->toHex(' ').toStdString(), peer.toHex(' ').toStdString());
        }
    }
}

TEST(TextEncoding, UnknownNumbersHaveNoConverter) {
    for (QVStringEncoding e : {QVStringEncoding(0), QVStringEncoding(8), QVStringEncoding(999),
                               code(0x0A07) /* no converter */}) {
        SCOPED_TRACE(e);
        EXPECT_FALSE(TextEncoding::isSupported(e));
        QVError error;
        EXPECT_FALSE(TextEncoding::decode(QByteArray("abc"), e, &error).has_value());
        EXPECT_EQ(error.domain(), TextEncoding::cocoaErrorDomain());
        EXPECT_FALSE(TextEncoding::encode(QStringLiteral("abc"), e, true, &error).has_value());
    }
}

TEST(TextEncoding, BadBytesFailAtTheirOffset) {
    struct Case {
        const char* label;
        QVStringEncoding encoding;
        QByteArray bytes;
        qint64 offset;
    } cases[] = {
        {"utf-8 stray continuation", TextEncoding::UTF8, QByteArray("ab\x80z"), 2},
        {"utf-8 bad lead", TextEncoding::UTF8, QByteArray("abc\xc3\x28"), 3},
        {"utf-8 overlong", TextEncoding::UTF8, QByteArray("\xc0\xaf"), 0},
        {"utf-8 cut at the end", TextEncoding::UTF8, QByteArray("ab\xe6\x97"), 2},
        {"utf-8 surrogate", TextEncoding::UTF8, QByteArray("a\xed\xa0\x80"), 1},
        {"utf-8 past U+10FFFF", TextEncoding::UTF8, QByteArray("ab\xf4\x90\x80\x80"), 2},
        {"utf-8 bad byte after a long valid text", TextEncoding::UTF8, QByteArray(70000, 'x') + "\xff", 70000},
        {"ascii high byte", TextEncoding::ASCII, QByteArray("abc\xe9"), 3},
        {"shift-jis bad trail", code(0x0A01), QByteArray("a\x81\x20"), 1},
        {"shift-jis cut at the end", code(0x0A01), QByteArray("ab\x93"), 2},
        {"euc-jp cut at the end", code(0x0920), QByteArray("\xc6\xfc\xcb"), 2},
        {"euc-kr bad pair", code(0x0940), QByteArray("x\xb0\x20"), 1},
        {"iso-2022-jp eight-bit byte", code(0x0820), QByteArray("ab\xa4"), 2},
        {"windows-1253 unassigned", code(0x0503), QByteArray("ok\xd2"), 2},
        {"gb2312 bad pair", code(0x0A05), QByteArray("\xd6\xd0\xff\xff"), 2},
        {"utf-16 odd length", TextEncoding::UTF16, QByteArray("\xff\xfe" "a\x00" "b", 5), 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        QVError error;
        EXPECT_FALSE(TextEncoding::decode(c.bytes, c.encoding, &error).has_value());
        EXPECT_EQ(error.code(), TextEncoding::FileReadInapplicableStringEncodingError);
        EXPECT_EQ(error.userInfoValue(QLatin1String(QVTextEncodingErrorOffsetKey)).toLongLong(), c.offset);
    }
}

// Sequences an encoding reads one way only are read as the characters they stand for; oneWay
// names the first (its bytes and the character), and saving writes the standard code, through
// the table's fallback code for a character the encoding has no code of its own for.
TEST(TextEncoding, OneWaySequencesReadAsTheirCharactersAndWriteTheStandardCode) {
    struct Case {
        const char* label;
        QVStringEncoding encoding;
        QByteArray bytes;
        const char* text;  // UTF-8
        qint64 offset, length;
        qsizetype index;
        const char* unwritable;  // what only fallback codes write
        QByteArray written;      // what the text saves as, with those fallbacks
    } cases[] = {
        {"shift-jis IBM row roman numeral", code(0x0A01), "x\xfa\x4a", "x\u2160", 1, 2, 1, "", "x\x87\x54"},
        {"shift-jis NEC-selected IBM row", code(0x0A01), "ab\xee\xe0\xed\x95", "ab\u9ad9\ufa11", 2, 2, 2, "", "ab\xfb\xfc\xfa\xb1"},
        {"shift-jis duplicate after a kanji", code(0x0A01), "\x93\xfa\xed\x95", "\u65e5\ufa11", 2, 2, 1, "", "\x93\xfa\xfa\xb1"},
        {"shift-jis duplicate after a long text", code(0x0A01), QByteArray(9000, 'x') + "\xee\xe0", nullptr, 9000, 2, 9000, "",
         QByteArray(9000, 'x') + "\xfb\xfc"},
        {"shift-jis standard codes only", code(0x0A01), "\x93\xfa\x87\x54", "\u65e5\u2160", -1, 0, -1, "", "\x93\xfa\x87\x54"},
        {"euc-jp cent sign", code(0x0920), "\xc6\xfc\x8e\xe0", "\u65e5\u00a2", 2, 2, 1, "\u00a2", "\xc6\xfc\xa1\xf1"},
        {"euc-jp three-byte broken bar", code(0x0920), "a\x8f\xa2\xc3\x8e\xe0\x8e\xe0", "a\u00a6\u00a2\u00a2", 1, 3, 1, "\u00a6\u00a2",
         "a\xfc\xfc\xa1\xf1\xa1\xf1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TextEncoding::OneWay oneWay;
        const std::optional<QString> text = TextEncoding::decode(c.bytes, c.encoding, nullptr, &oneWay);
        ASSERT_TRUE(text.has_value());
        if (c.text) { EXPECT_EQ(*text, QString::fromUtf8(c.text)); }
        EXPECT_EQ(oneWay.offset, c.offset);
        EXPECT_EQ(oneWay.length, c.length);
        EXPECT_EQ(oneWay.index, c.index);
        const QString unwritable = TextEncoding::unwritableCharacters(*text, c.encoding);
        EXPECT_EQ(unwritable, QString::fromUtf8(c.unwritable));
        EXPECT_EQ(TextEncoding::encode(*text, c.encoding, false, nullptr, unwritable), c.written);
        // Without them, and for what the user typed that is not among them, nothing is written
        // unasked; the lossy form still puts "?" for the rest.
        const QString typed = *text + QStringLiteral("\u20ac");
        EXPECT_EQ(TextEncoding::encode(*text, c.encoding, false).has_value(), unwritable.isEmpty());
        EXPECT_FALSE(TextEncoding::encode(typed, c.encoding, false, nullptr, unwritable).has_value());
        EXPECT_EQ(TextEncoding::encode(typed, c.encoding, true, nullptr, unwritable), c.written + "?");
    }
}

// ICU's own answer for UTF-8 bytes: the text, or nothing when it stops at a bad sequence.
std::optional<QString> icuUtf8(const QByteArray& bytes) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open("UTF-8", &status);
    ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    QString text(bytes.size() + 1, Qt::Uninitialized);
    const int32_t n = ucnv_toUChars(converter, reinterpret_cast<UChar*>(text.data()), int32_t(text.size()),
                                    bytes.constData(), int32_t(bytes.size()), &status);
    ucnv_close(converter);
    if (U_FAILURE(status)) return std::nullopt;
    text.resize(n);
    return text;
}

TEST(TextEncoding, Utf8AgreesWithIcuOnEverySequence) {
    // UTF-8 is decoded by a faster path than the other encodings; it must accept and refuse
    // exactly what ICU does, give the same text, and report refusals at ICU's offsets. Every
    // lead byte with continuation bytes at the edges of their valid ranges, alone, between
    // ASCII, and cut short at the end.
    const quint8 trails[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
    int compared = 0;
    for (int lead = 0; lead < 256; ++lead) {
        for (quint8 t1 : trails) {
            for (quint8 t2 : {quint8(0x80), quint8(0xBF), quint8(0x41)}) {
                for (int length = 1; length <= 4; ++length) {
                    QByteArray seq;
                    seq.append(char(lead));
                    if (length > 1) seq.append(char(t1));
                    if (length > 2) seq.append(char(t2));
                    if (length > 3) seq.append(char(0x80));
                    for (const QByteArray& bytes : {seq, "ab" + seq + "cd", "\xef\xbb\xbf" + seq}) {
                        SCOPED_TRACE(bytes.toHex().toStdString());
                        const std::optional<QString> expected = icuUtf8(bytes);
                        QVError error;
                        const std::optional<QString> got = TextEncoding::decode(bytes, TextEncoding::UTF8, &error);
                        ASSERT_EQ(got.has_value(), expected.has_value());
                        if (got) EXPECT_TRUE(*got == *expected);
                        else EXPECT_EQ(error.code(), TextEncoding::FileReadInapplicableStringEncodingError);
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_EQ(compared, 256 * 11 * 3 * 4 * 3);
    // Noncharacters and the last code points are text.
    EXPECT_EQ(TextEncoding::decode(QByteArray("\xef\xbf\xbe\xf4\x8f\xbf\xbf"), TextEncoding::UTF8),
              QString(QChar(0xFFFE)) + QString::fromUcs4(U"\U0010FFFF"));
}

TEST(TextEncoding, MultiByteSequencesAcrossLargeInputs) {
    // Characters of two and three bytes at every alignment, over inputs far larger than any
    // internal buffer of the converters.
    QString text;
    for (int i = 0; text.size() < 400000; ++i)
        text += QStringLiteral("a\u65e5\u03b1") + QString::number(i) + QStringLiteral("\u30c6\n");
    for (QVStringEncoding e : {TextEncoding::UTF8, code(0x0A01), code(0x0920), TextEncoding::UTF16, code(0x0820)}) {
        SCOPED_TRACE(e);
        const auto bytes = TextEncoding::encode(text, e, false);
        ASSERT_TRUE(bytes.has_value());
        const auto back = TextEncoding::decode(*bytes, e);
        ASSERT_TRUE(back.has_value());
        EXPECT_TRUE(*back == text);
        // The same bytes cut one short end inside a character (the last "\n" is whole in every
        // encoding but ISO-2022-JP, whose escape back to ASCII closes the text).
        if (e != code(0x0820)) {
            QByteArray cut = bytes->left(bytes->size() - (e == TextEncoding::UTF16 ? 3 : 2));
            EXPECT_FALSE(TextEncoding::decode(cut, e).has_value());
        }
    }
}

TEST(TextEncoding, LossyWritingSubstitutesQuestionMarks) {
    struct Case {
        const char* label;
        QVStringEncoding encoding;
        QString text;
        QByteArray lossy;
        qint64 offset;
    } cases[] = {
        {"euro in latin 1", TextEncoding::ISOLatin1, QStringLiteral("a\u20acb"), QByteArray("a?b"), 1},
        {"kanji in latin 2", code(0x0202), QStringLiteral("x\u65e5"), QByteArray("x?"), 1},
        {"kanji in windows-1251", code(0x0502), QStringLiteral("\u65e5y"), QByteArray("?y"), 0},
        {"hangul in shift-jis", code(0x0A01), QStringLiteral("ab\ud55c"), QByteArray("ab?"), 2},
        {"emoji in ascii", TextEncoding::ASCII, QStringLiteral("\U0001F600!"), QByteArray("?!"), 0},
        {"lone surrogate in utf-8", TextEncoding::UTF8, QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b"), QByteArray("a?b"), 1},
        {"lone surrogate in utf-16", TextEncoding::UTF16, QString(QChar(0xDC00)),
         QByteArray("\xff\xfe?\x00", 4), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        QVError error;
        EXPECT_FALSE(TextEncoding::encode(c.text, c.encoding, false, &error).has_value());
        EXPECT_EQ(error.code(), TextEncoding::FileWriteInapplicableStringEncodingError);
        EXPECT_EQ(error.userInfoValue(QLatin1String(QVTextEncodingErrorOffsetKey)).toLongLong(), c.offset);
        const auto lossy = TextEncoding::encode(c.text, c.encoding, true);
        ASSERT_TRUE(lossy.has_value());
        EXPECT_EQ(lossy->toHex().toStdString(), c.lossy.toHex().toStdString());
    }
}

TEST(TextEncoding, FallbackEncodingKeepsEveryByte) {
    QByteArray all;
    for (int b = 0; b < 256; ++b) all.append(char(b));
    const auto text = TextEncoding::decode(all, TextEncoding::defaultCStringEncoding());
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->size(), 256);
    const auto bytes = TextEncoding::encode(*text, TextEncoding::defaultCStringEncoding(), false);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*bytes, all);
}

TEST(TextEncoding, ByteOrderMarksAndEmptyInput) {
    const QString hi = QStringLiteral("h\u00e9");
    EXPECT_EQ(TextEncoding::decode(QByteArray("\xff\xfeh\x00\xe9\x00", 6), TextEncoding::UTF16), hi);
    EXPECT_EQ(TextEncoding::decode(QByteArray("\xfe\xff\x00h\x00\xe9", 6), TextEncoding::UTF16), hi);
    EXPECT_EQ(TextEncoding::decode(QByteArray("\x00h\x00\xe9", 4), TextEncoding::UTF16), hi);
    EXPECT_EQ(TextEncoding::encode(hi, TextEncoding::UTF16, false), QByteArray("\xff\xfeh\x00\xe9\x00", 6));
    // A UTF-8 mark is text, kept so that writing the file back gives the same bytes.
    EXPECT_EQ(TextEncoding::decode(QByteArray("\xef\xbb\xbfx"), TextEncoding::UTF8), QString(QChar(0xFEFF)) + QStringLiteral("x"));
    EXPECT_EQ(TextEncoding::decode(QByteArray("\xef\xbb\xbf\xef\xbb\xbfx"), TextEncoding::UTF8),
              QString(2, QChar(0xFEFF)) + QStringLiteral("x"));
    // A replacement character written in the bytes is text like any other.
    EXPECT_EQ(TextEncoding::decode(QByteArray("\xef\xbf\xbd ok"), TextEncoding::UTF8),
              QString(QChar(0xFFFD)) + QStringLiteral(" ok"));
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.label);
        const auto empty = TextEncoding::decode(QByteArray(), s.encoding);
        ASSERT_TRUE(empty.has_value());
        EXPECT_TRUE(empty->isEmpty());
        const auto bytes = TextEncoding::encode(QString(), s.encoding, false);
        ASSERT_TRUE(bytes.has_value());
        EXPECT_EQ(bytes->size(), s.encoding == TextEncoding::UTF16 ? 2 : 0);
    }
}

}  // namespace

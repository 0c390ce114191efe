// Tests of charset names, encoding detection and reading and writing text with fallbacks, on
// real files.
#include "shell/FileEncodings.h"

#include "platform/AppBundle.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <atomic>
#include <cerrno>
#include <iconv.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

QVStringEncoding code(quint32 c) { return TextEncoding::fromPlatformCode(c); }
const QVStringEncoding ShiftJIS = code(0x0A01);
const QVStringEncoding EUCKR = code(0x0940);
const QVStringEncoding KOI8R = code(0x0A02);
const QVStringEncoding Big5 = code(0x0A03);
const QVStringEncoding GB2312 = code(0x0A05);
const QVStringEncoding EUCJP = code(0x0920);

QByteArray encoded(const QString& text, QVStringEncoding encoding) {
    return TextEncoding::encode(text, encoding, false).value_or(QByteArray("<not encodable>"));
}

// The bytes converted by the C library's iconv, a second opinion beside ICU; empty on failure.
QByteArray iconvConvert(const QByteArray& bytes, const char* from, const char* to) {
    const iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1)) return {};
    QByteArray in = bytes;
    QByteArray out(bytes.size() * 4 + 16, '\0');
    char* source = in.data();
    char* target = out.data();
    size_t left = size_t(in.size()), room = size_t(out.size());
    const bool done = iconv(cd, &source, &left, &target, &room) != size_t(-1) && left == 0;
    iconv_close(cd);
    if (!done) return {};
    out.truncate(out.size() - qsizetype(room));
    return out;
}

// Sets the default-encoding setting for the life of the object.
class DefaultEncoding {
public:
    explicit DefaultEncoding(const QString& name) {
        UserDefaults::standard().setString(name, QLatin1String(QVTextEncoding));
    }
    ~DefaultEncoding() { UserDefaults::standard().removeObject(QLatin1String(QVTextEncoding)); }
};

TEST(FileEncodings, CharsetNames) {
    struct Case {
        const char* name;
        QVStringEncoding encoding;
    } cases[] = {
        {"utf-8", 4}, {"utf_8", 4}, {"utf8", 4}, {"UTF-8", 4}, {"Utf-8", 4},
        {"utf-16", 10}, {"UTF-16", 10},
        {"iso_8859-1", 5}, {"ISO_8859-1", 5}, {"ISO-8859-1", 5}, {"iso-8859-2", 9},
        {"ISO-8859-15", 0x8000020F}, {"iso-8859-6-i", 0x80000206}, {"iso-8859-8-i", 0x80000208},
        {"Shift_JIS", 0x80000A01}, {"shift-jis", 0x80000A01}, {"SHIFT-JIS", 0x80000A01},
        {"EUC-JP", 3}, {"iso-2022-jp", 21}, {"EUC-KR", 0x80000940},
        {"gb2312", 0x80000A05}, {"GB2312", 0x80000A05}, {"big5", 0x80000A03}, {"Big-5", 0x80000A03},
        {"KOI8-R", 0x80000A02}, {"macintosh", 0x80000A04}, {"us-ascii", 1},
        {"windows-1250", 15}, {"windows-1251", 11}, {"windows-1253", 13}, {"windows-1254", 14},
        {"windows-1255", 0x80000505}, {"windows-1256", 0x80000506}, {"Windows-1257", 0x80000507},
        // Not in the table, or not a name at all.
        {"windows-1252", 0}, {"latin1", 0}, {"utf-32", 0}, {"", 0}, {" utf-8", 0}, {"utf-8;", 0},
        {"\xc3\xbctf8", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FileEncodings::encodingFromString(QString::fromUtf8(c.name)), c.encoding);
    }
    EXPECT_EQ(FileEncodings::encodingFromString(QString()), 0u);
    // A NUL does not end a name early.
    EXPECT_EQ(FileEncodings::encodingFromString(QStringLiteral("utf8") + QChar(0) + QStringLiteral("x")), 0u);
    EXPECT_EQ(FileEncodings::encodingFromString(QStringLiteral("iso-8859-1----____")), 5u);
    EXPECT_EQ(FileEncodings::encodingFromString(QStringLiteral("windows-12500000000")), 0u);
    // File names: every dot-separated piece of the last component, in order.
    EXPECT_EQ(FileEncodings::encodingFromFileName(QStringLiteral("/a.utf8/b/page.koi8-r.utf-8.html")), KOI8R);
    EXPECT_EQ(FileEncodings::encodingFromFileName(QStringLiteral("/a.utf8/b/page.html")), 0u);
    EXPECT_EQ(FileEncodings::encodingFromFileName(QStringLiteral("notes.BIG5")), Big5);
    EXPECT_EQ(FileEncodings::encodingFromFileName(QStringLiteral("..euc-kr.")), EUCKR);
    EXPECT_EQ(FileEncodings::encodingFromFileName(QStringLiteral("dir.utf8/")), 0u);
    EXPECT_EQ(FileEncodings::encodingFromFileName(QString()), 0u);
}

TEST(FileEncodings, WrittenNamesNameTheirEncodings) {
    const QStringList written = {
        "iso-8859-1", "iso-8859-2", "iso-8859-3", "iso-8859-4", "iso-8859-5", "iso-8859-6-i",
        "iso-8859-7", "iso-8859-8-i", "iso-8859-9", "iso-8859-10", "iso-8859-11", "iso-8859-13",
        "iso-8859-14", "iso-8859-15", "us-ascii", "euc-jp", "shift-jis", "iso-2022-jp", "euc-kr",
        "gb2312", "big-5", "koi8-r", "macintosh", "windows-1250", "windows-1251", "windows-1253",
        "windows-1254", "windows-1255", "windows-1256", "windows-1257", "utf-8", "utf-16"};
    for (const QString& name : written) {
        SCOPED_TRACE(name.toStdString());
        const QVStringEncoding encoding = FileEncodings::encodingFromString(name);
        EXPECT_NE(encoding, 0u);
        EXPECT_EQ(FileEncodings::stringFromEncoding(encoding), name);
        EXPECT_TRUE(TextEncoding::isSupported(encoding));
    }
    EXPECT_EQ(FileEncodings::stringFromEncoding(TextEncoding::MacOSRoman), QStringLiteral("macintosh"));
    EXPECT_TRUE(FileEncodings::stringFromEncoding(12).isNull());  // Windows 1252
    EXPECT_TRUE(FileEncodings::stringFromEncoding(0).isNull());
    EXPECT_TRUE(FileEncodings::stringFromEncoding(8).isNull());
}

TEST(FileEncodings, ShippedEncodingsListNamesKnownEncodings) {
    const QString path = AppBundle::main().pathForResource(QStringLiteral("charsets"), QStringLiteral("plist"));
    ASSERT_FALSE(path.isEmpty());
    QVError error;
    const QVariantList list = PropertyList::readFile(path, &error).toList();
    ASSERT_FALSE(list.isEmpty()) << error.localizedDescription().toStdString();
    int items = 0;
    for (const QVariant& entry : list) {
        if (entry.typeId() == QMetaType::QString) continue;  // a separator
        const QVariantMap item = entry.toMap();
        const QString shortName = item.value(QStringLiteral("short")).toString();
        SCOPED_TRACE(shortName.toStdString());
        EXPECT_FALSE(item.value(QStringLiteral("full")).toString().isEmpty());
        EXPECT_NE(FileEncodings::encodingFromString(shortName), 0u);
        ++items;
    }
    EXPECT_EQ(items, 32);
}

TEST(FileEncodings, DetectionOrder) {
    TestDir dir;
    const QByteArray xmlEucJp = "<?xml version=\"1.0\" encoding=\"euc-jp\"?>\n<a/>\n";
    QByteArray line30, line31, crlf30, crlf31;
    for (int i = 1; i < 30; ++i) {
        line30 += "line\n";
        crlf30 += "line\r\n";
    }
    line31 = line30 + "line\n";
    crlf31 = crlf30 + "line\r\n";
    const QByteArray decl = "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=euc-kr\">\n";
    QByteArray longFirstLine(1024 * 1024, 'x');
    longFirstLine += "\n<meta charset=\"big5\">\n";
    QByteArray straddling(65536 - 10, 'y');  // the declaration crosses the 64 KiB read boundary
    straddling += "<meta charset=\"koi8-r\">\n";

    struct Case {
        const char* label;
        const char* fileName;
        QByteArray contents;
        QVStringEncoding expected;
    } cases[] = {
        {"name piece", "notes.utf8.txt", xmlEucJp, TextEncoding::UTF8},
        {"name piece first", "big5.txt", QByteArray(), Big5},
        {"name wins over contents", "page.koi8-r.html", "<meta charset=\"utf-8\">\n", KOI8R},
        {"name in capitals", "page.KOI8-R.html", QByteArray(), KOI8R},
        {"name Shift_JIS", "list.Shift_JIS.csv", QByteArray(), ShiftJIS},
        {"xml declaration", "a.xml", xmlEucJp, TextEncoding::JapaneseEUC},
        {"xml declaration single quotes", "a.xml", "<?xml version='1.0' encoding='EUC-KR'?>\n", EUCKR},
        {"one-line file is not examined", "a.xml", "<?xml version=\"1.0\" encoding=\"euc-jp\"?>", TextEncoding::UTF8},
        {"meta http-equiv", "a.html", decl, EUCKR},
        {"meta html5 quoted", "a.html", "<!DOCTYPE html>\n<meta charset=\"Shift_JIS\">\n", ShiftJIS},
        {"meta html5 unquoted", "a.html", "<meta charset=windows-1251>\n", TextEncoding::WindowsCP1251},
        {"meta html5 single quotes", "a.html", "<META CHARSET='ISO-8859-2'/>\n", TextEncoding::ISOLatin2},
        {"xml form first on a line", "a.html", "<?xml version=\"1.0\" encoding=\"euc-kr\"?><meta charset=\"utf-16\">\n", EUCKR},
        {"unknown name goes on", "a.html", "<meta charset=\"x-no-such\">\n<meta charset=\"gb2312\">\n", GB2312},
        {"a name only ICU knows", "a.html", "<meta charset=\"cp1252\">\n<meta charset=\"gb2312\">\n", TextEncoding::WindowsCP1252},
        {"declaration on line 30", "a.html", line30 + decl, EUCKR},
        {"declaration on line 31", "a.html", line31 + decl, TextEncoding::UTF8},
        {"crlf line 30", "a.html", crlf30 + decl, EUCKR},
        {"crlf line 31", "a.html", crlf31 + decl, TextEncoding::UTF8},
        {"carriage returns end lines", "a.html", "<html>\r<meta charset=\"euc-kr\">\r<body>", EUCKR},
        {"after a 1 MB line", "a.html", longFirstLine, Big5},
        {"across a read boundary", "a.html", straddling, KOI8R},
        {"utf-16 mark little-endian", "a.txt", QByteArray("\xff\xfeh\x00i\x00", 6), TextEncoding::UTF16},
        {"utf-16 mark big-endian", "a.txt", QByteArray("\xfe\xff\x00h\x00i", 6), TextEncoding::UTF16},
        {"a mark before a declaration decides", "a.txt", "\xff\xfe<meta charset=\"euc-kr\">\n", TextEncoding::UTF16},
        {"utf-8 mark before windows-1252", "a.html", "\xEF\xBB\xBF<meta charset=\"windows-1252\">\ncaf\xC3\xA9\n", TextEncoding::UTF8},
        {"utf-8 mark before iso-8859-1", "a.html", "\xEF\xBB\xBF<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">\n", TextEncoding::UTF8},
        {"utf-8 mark before GB18030", "a.xml", "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"GB18030\"?>\n", TextEncoding::UTF8},
        {"utf-8 mark before a style sheet's rule", "a.css", "\xEF\xBB\xBF@charset \"iso-8859-1\";\n", TextEncoding::UTF8},
        {"utf-16 declared in ASCII bytes", "a.html", "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-16\">\n", TextEncoding::UTF8},
        {"utf-16le declared in ASCII bytes", "a.html", "<meta charset=utf-16le>\n", TextEncoding::UTF8},
        {"utf-16be declared in ASCII bytes", "a.html", "<META CHARSET=\"UTF-16BE\">\n", TextEncoding::UTF8},
        {"utf-16 in an XML declaration in ASCII bytes", "a.xml", "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n", TextEncoding::UTF8},
        {"utf-16 in a style sheet's rule", "a.css", "@charset \"utf-16\";\n", TextEncoding::UTF8},
        {"nothing: the default", "a.txt", "plain\ntext\n", TextEncoding::UTF8},
        {"empty file: the default", "a.txt", QByteArray(), TextEncoding::UTF8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const QString path = dir.write(QStringLiteral("%1/%2").arg(QString::fromLatin1(c.label).replace(' ', '_'),
                                                                   QString::fromLatin1(c.fileName)),
                                       c.contents);
        EXPECT_EQ(FileEncodings::_encodingForPath(path), c.expected);
        // What a mark or a declaration says, not the default setting's answer.
        if (QByteArray(c.label).contains("mark") || QByteArray(c.label).contains("declared")) {
            EXPECT_EQ(FileEncodings::encodingFromContents(c.contents), c.expected);
        }
        // Reading detects the same way on the bytes it read; bytes that the detected encoding
        // cannot decode (a mark before a declaration) are read by the fallback.
        QVStringEncoding encoding = 0;
        QVError error;
        ASSERT_TRUE(FileEncodings::createWithContentsOfFile(path, &encoding, &error).has_value());
        if (TextEncoding::decode(c.contents, c.expected)) {
            EXPECT_EQ(encoding, c.expected);
            EXPECT_TRUE(error.isNull());
        } else {
            EXPECT_EQ(encoding, TextEncoding::MacOSRoman);
            EXPECT_EQ(error.code(), FileEncodings::FallbackEncodingError);
        }
    }
}

// Pages whose byte-order mark and declaration disagree, and pages that declare UTF-16 in ASCII
// bytes, read as headless Chromium reads them: the paragraph's text is the one Chromium's DOM has.
TEST(FileEncodings, MarksAndDeclaredUtf16ReadAsChromiumReadsThem) {
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (chromium.isEmpty()) GTEST_SKIP() << "chromium is not installed";
    const QString body = QStringLiteral("<p>caf\u00e9 \u20ac \u00fc \u4e2d</p></body></html>\n");
    const auto page = [&](const char* declaration) {
        return QStringLiteral("<html><head>%1\n<title>t</title></head><body>").arg(QLatin1String(declaration)) + body;
    };
    const auto utf16 = [](const QString& text, bool bigEndian) {
        QByteArray bytes = bigEndian ? QByteArray("\xFE\xFF") : QByteArray("\xFF\xFE");
        for (const QChar c : text) {
            const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xFF);
            bytes += bigEndian ? hi : lo;
            bytes += bigEndian ? lo : hi;
        }
        return bytes;
    };
    const struct {
        const char* name;
        QByteArray bytes;
    } pages[] = {
        {"mark-1252.html", "\xEF\xBB\xBF" + page("<meta charset=\"windows-1252\">").toUtf8()},
        {"mark-latin1.html", "\xEF\xBB\xBF" + page("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">").toUtf8()},
        {"mark-gb18030.html", "\xEF\xBB\xBF" + page("<meta charset=\"GB18030\">").toUtf8()},
        {"mark-utf16.html", "\xEF\xBB\xBF" + page("<meta charset=\"utf-16\">").toUtf8()},
        {"le-1252.html", utf16(page("<meta charset=\"windows-1252\">"), false)},
        {"be-latin1.html", utf16(page("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\">"), true)},
        {"equiv-utf16.html", page("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-16\">").toUtf8()},
        {"equiv-utf16be.html", page("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-16BE\">").toUtf8()},
        {"meta-utf16le.html", page("<meta charset=utf-16le>").toUtf8()},
        {"meta-utf16be.html", page("<meta charset=\"utf-16be\">").toUtf8()},
    };
    TestDir dir;
    const auto paragraph = [](const QString& text) {
        const qsizetype start = text.indexOf(QLatin1String("<p>")), end = text.indexOf(QLatin1String("</p>"));
        return start < 0 || end < start ? QString() : text.mid(start + 3, end - start - 3);
    };
    for (const auto& p : pages) {
        SCOPED_TRACE(p.name);
        const QString path = dir.write(QString::fromLatin1(p.name), p.bytes);
        QTemporaryDir profile;
        QProcess peer;
        peer.start(chromium, {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                              "--disable-component-update", "--user-data-dir=" + profile.path(), "--dump-dom",
                              QUrl::fromLocalFile(path).toString()});
        if (!peer.waitForFinished(120000)) peer.kill();
        peer.waitForFinished();
        const QString peerText = paragraph(QString::fromUtf8(peer.readAllStandardOutput()));
        ASSERT_FALSE(peerText.isEmpty()) << peer.readAllStandardError().right(2000).toStdString();
        QVStringEncoding encoding = 0;
        const auto read = FileEncodings::createWithContentsOfFile(path, &encoding);
        ASSERT_TRUE(read);
        EXPECT_EQ(paragraph(*read).toStdString(), peerText.toStdString());
        EXPECT_EQ(encoding, p.name[0] == 'l' || p.name[0] == 'b' ? TextEncoding::UTF16 : TextEncoding::UTF8);
    }
}

TEST(FileEncodings, ContentScanOfBytesAgreesWithTheFileScanner) {
    // Detection over bytes in memory takes shortcuts (whole LF-ended lines found with memchr,
    // only lines holding "<?xml" or "<meta" decoded); reading the file streams it in chunks
    // line by line. Both must see the same lines, so random files of declarations, near misses
    // and filler, with every kind of line break, get the same answer from both.
    TestDir dir;
    const QByteArray pieces[] = {
        "<meta charset=\"euc-kr\">", "<META HTTP-EQUIV=\"content-type\" CONTENT=\"text/html; charset=koi8-r\">",
        "<?xml version=\"1.0\" encoding=\"big5\"?>", "<?XmL encoding='shift_jis'?>", "<meta charset=\"windows-1252\">",
        "<meta name=\"x\">", "<met", "a charset=utf-16>", "<", "<?xm", "l encoding=\"euc-jp\"?>", "<div>", "plain text",
        "\xc3\xa9t\xc3\xa9 <meta charset=iso-8859-2>", "<<meta charset=gb2312>", "",
    };
    const QByteArray breaks[] = {"\n", "\n", "\n", "\r\n", "\r"};
    quint32 seed = 12345;
    auto next = [&seed](quint32 n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    int withDeclaration = 0;
    for (int file = 0; file < 400; ++file) {
        const bool mixedBreaks = file % 3 == 0;
        QByteArray bytes;
        const quint32 lines = 1 + next(40);
        for (quint32 line = 0; line < lines; ++line) {
            // Mostly filler, so declarations land on every line number, 30 and 31 included.
            for (quint32 k = 1 + next(3); k > 0; --k)
                bytes += next(6) == 0 ? pieces[next(std::size(pieces))] : pieces[11 + next(2)];
            if (line + 1 < lines || next(2)) bytes += mixedBreaks ? breaks[next(std::size(breaks))] : QByteArray("\n");
        }
        SCOPED_TRACE(bytes.toStdString());
        const QString path = dir.write(QStringLiteral("scan%1.txt").arg(file), bytes);
        const QVStringEncoding fromFile = FileEncodings::_encodingForPath(path);
        const QVStringEncoding fromBytes = FileEncodings::encodingFromContents(bytes);
        EXPECT_EQ(fromBytes ? fromBytes : FileEncodings::defaultEncoding(), fromFile);
        withDeclaration += fromBytes != 0;
    }
    // The random files exercise both answers.
    EXPECT_GT(withDeclaration, 50);
    EXPECT_LT(withDeclaration, 350);
}

TEST(FileEncodings, DefaultEncodingComesFromTheSetting) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("plain.txt"), "caf\xe9\n");
    {
        DefaultEncoding setting(QStringLiteral("ISO-8859-1"));
        EXPECT_EQ(FileEncodings::defaultEncoding(), TextEncoding::ISOLatin1);
        QVStringEncoding encoding = 0;
        QVError error;
        EXPECT_EQ(FileEncodings::createWithContentsOfFile(path, &encoding, &error), QStringLiteral("caf\u00e9\n"));
        EXPECT_EQ(encoding, TextEncoding::ISOLatin1);
        EXPECT_TRUE(error.isNull());
    }
    {
        DefaultEncoding setting(QStringLiteral("no-such-charset"));
        EXPECT_EQ(FileEncodings::defaultEncoding(), 0u);
        QVStringEncoding encoding = 0;
        QVError error;
        EXPECT_TRUE(FileEncodings::createWithContentsOfFile(path, &encoding, &error).has_value());
        EXPECT_EQ(error.code(), FileEncodings::FallbackEncodingError);
        EXPECT_EQ(encoding, TextEncoding::MacOSRoman);
    }
    EXPECT_EQ(FileEncodings::defaultEncoding(), TextEncoding::UTF8);
}

TEST(FileEncodings, ReadingDecodesInTheChosenEncoding) {
    TestDir dir;
    const QString japanese = QStringLiteral("\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8\n");
    const QByteArray eucjp = "<?xml version=\"1.0\" encoding=\"euc-jp\"?>\n" + encoded(japanese, TextEncoding::JapaneseEUC);
    const QString path = dir.write(QStringLiteral("doc.xml"), eucjp);

    QVStringEncoding encoding = 0;
    QVError error;
    const auto text = FileEncodings::createWithContentsOfFile(path, &encoding, &error);
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(text->endsWith(japanese));
    EXPECT_EQ(encoding, TextEncoding::JapaneseEUC);
    EXPECT_TRUE(error.isNull());

    // A given encoding is used as it is, whatever the file says.
    const QString sjisPath = dir.write(QStringLiteral("notes.utf8.txt"), encoded(japanese, ShiftJIS));
    encoding = ShiftJIS;
    EXPECT_EQ(FileEncodings::createWithContentsOfFile(sjisPath, &encoding), japanese);
    EXPECT_EQ(encoding, ShiftJIS);
    // A null encoding pointer detects without reporting.
    EXPECT_TRUE(FileEncodings::createWithContentsOfFile(path, nullptr).has_value());
}

TEST(FileEncodings, Gb2312IsReadAsEucCn) {
    TestDir dir;
    const QByteArray bytes = "<meta charset=\"gb2312\">\n\xd6\xd0\xce\xc4\n";
    const QString path = dir.write(QStringLiteral("zh.html"), bytes);
    QVStringEncoding encoding = 0;
    QVError error;
    const auto text = FileEncodings::createWithContentsOfFile(path, &encoding, &error);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(encoding, GB2312);
    EXPECT_TRUE(error.isNull());
    EXPECT_TRUE(text->endsWith(QStringLiteral("\u4e2d\u6587\n")));
    EXPECT_EQ(FileEncodings::dataUsingEncoding(*text, &encoding), bytes);
}

// Pages declaring a charset Qorvel's own names leave out (and a style sheet by its leading
// @charset rule) are read in it, as iconv reads them, and saved back byte for byte.
TEST(FileEncodings, DeclaredCharsetsOutsideTheTableReadAndSaveAsDeclared) {
    const struct {
        const char* name;
        const char* head;     // %1: the charset as declared
        const char* charset;  // as declared, and as iconv names it
        const char* body;     // UTF-8
        QVStringEncoding encoding;
        const char* shown;  // what the status bar calls it
    } cases[] = {
        {"quotes.html", "<html><head><meta charset=\"%1\"></head>\n", "windows-1252",
         "<p>\u201cQuotes\u201d \u2014 dash, \u20ac 5, caf\u00e9</p>\n", TextEncoding::WindowsCP1252, "windows-1252"},
        {"cp.html", "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=%1\">\n", "CP1252",
         "\u2018single\u2019 \u2026\n", TextEncoding::WindowsCP1252, "windows-1252"},
        {"bakery.xml", "<?xml version=\"1.0\" encoding=\"%1\"?>\n", "GB18030",
         "<p>\u9eb5\u5305\u5e97 \u20ac \U00020000 \u00e9</p>\n", TextEncoding::GB18030, "GB18030"},
        {"hk.html", "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=%1\">\n", "Big5-HKSCS",
         "<p>\u9eb5\u5305\u5e97 \u6d3e\u5c0d</p>\n", TextEncoding::Big5HKSCS, "Big5-HKSCS"},
        {"latin.css", "@charset \"%1\";\n", "iso-8859-1", "p::before { content: \"\u00a7 caf\u00e9\" }\n",
         TextEncoding::ISOLatin1, "Western (ISO Latin 1)"},
        {"quotes.css", "@charset \"%1\";\n", "windows-1252", "q::before { content: \"\u201c\" }\n",
         TextEncoding::WindowsCP1252, "windows-1252"},
    };
    TestDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString text = QString::fromUtf8(c.head).arg(QLatin1String(c.charset)) + QString::fromUtf8(c.body);
        const QByteArray bytes = iconvConvert(text.toUtf8(), "UTF-8", c.charset);
        ASSERT_FALSE(bytes.isEmpty());
        ASSERT_EQ(QString::fromUtf8(iconvConvert(bytes, c.charset, "UTF-8")), text);
        const QString path = dir.write(QString::fromLatin1(c.name), bytes);
        EXPECT_EQ(FileEncodings::_encodingForPath(path), c.encoding);
        QVStringEncoding encoding = 0;
        QVError notice;
        const auto read = FileEncodings::createWithContentsOfFile(path, &encoding, &notice);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(*read, text);
        EXPECT_EQ(encoding, c.encoding);
        EXPECT_TRUE(notice.isNull()) << notice.localizedDescription().toStdString();
        EXPECT_EQ(FileEncodings::displayName(encoding), QString::fromUtf8(c.shown));
        QVStringEncoding saved = encoding;
        QVError warning;
        EXPECT_EQ(FileEncodings::dataUsingEncoding(*read, &saved, &warning), bytes);
        EXPECT_EQ(saved, c.encoding);
        EXPECT_TRUE(warning.isNull());
        // Bytes already in hand detect the same.
        QVStringEncoding fromData = 0;
        EXPECT_EQ(FileEncodings::createWithData(bytes, path, &fromData), text);
        EXPECT_EQ(fromData, c.encoding);
    }

    // Any name or alias ICU has for a known encoding; Qorvel's own names stay as they were.
    const struct {
        const char* name;
        QVStringEncoding declared;
    } names[] = {{"windows-1252", TextEncoding::WindowsCP1252}, {"cp1252", TextEncoding::WindowsCP1252}, {"gb18030", TextEncoding::GB18030},
                 {"big5-hkscs", TextEncoding::Big5HKSCS}, {"latin1", TextEncoding::ISOLatin1}, {"UTF-8", TextEncoding::UTF8},
                 {"Shift_JIS", ShiftJIS}, {"x-no-such-charset", 0}, {"", 0}, {"utf-8 x", 0}, {"\xc3\xbctf-8", 0}, {"utf-32", 0}};
    for (const auto& n : names) {
        SCOPED_TRACE(n.name);
        EXPECT_EQ(FileEncodings::encodingFromDeclaration(QString::fromUtf8(n.name)), n.declared);
        // Declared back under a name that reads as the same encoding.
        if (n.declared) {
            EXPECT_EQ(FileEncodings::encodingFromDeclaration(FileEncodings::declarationName(n.declared)), n.declared);
        }
    }
    EXPECT_EQ(FileEncodings::encodingFromString(QStringLiteral("windows-1252")), 0u);
    EXPECT_EQ(FileEncodings::declarationName(TextEncoding::GB18030), QStringLiteral("GB18030"));
    EXPECT_EQ(FileEncodings::declarationName(TextEncoding::Big5HKSCS), QStringLiteral("Big5-HKSCS"));
    // A rule that is not the sheet's first bytes, or not closed, declares nothing.
    for (const char* sheet : {" @charset \"iso-8859-1\";\n", "@charset \"iso-8859-1\"\n", "@charset 'iso-8859-1';\n"})
        EXPECT_EQ(FileEncodings::encodingFromContents(QByteArray(sheet) + "\xa7\n"), 0u) << sheet;
}

TEST(FileEncodings, FallbackReadReportsTheEncodingThatDecoded) {
    TestDir dir;
    struct Case {
        const char* label;
        QByteArray bytes;
        QVStringEncoding requested;  // 0: detect
    } cases[] = {
        {"latin-1 bytes read as utf-8", "na\xefve caf\xe9\n", 0},
        {"utf-8 cut at the end", "ok \xe6\x97", 0},
        {"shift-jis cut at the end", "ok \x93", ShiftJIS},
        {"undecodable in the declared encoding", "<meta charset=\"us-ascii\">\n\xa9 2024\n", 0},
        {"unknown encoding number", "anything \xff", 8},
        {"remembered and detected both invalid", "<meta charset=\"shift_jis\">\n\x93", TextEncoding::UTF8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const QString path = dir.write(QString::fromLatin1(c.label).replace(' ', '_'), c.bytes);
        QVStringEncoding encoding = c.requested;
        QVError error;
        const auto text = FileEncodings::createWithContentsOfFile(path, &encoding, &error);
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(error.domain(), QVError::applicationDomain());
        EXPECT_EQ(error.code(), 16);
        EXPECT_EQ(error.localizedDescription(), QStringLiteral("Opened using Western (Mac OS Roman)"));
        EXPECT_EQ(encoding, TextEncoding::MacOSRoman);
        EXPECT_EQ(*text, *TextEncoding::decode(c.bytes, TextEncoding::MacOSRoman));
        // Saving in the encoding handed back writes the very same bytes.
        QVError saveError;
        EXPECT_EQ(FileEncodings::dataUsingEncoding(*text, &encoding, &saveError), c.bytes);
        EXPECT_TRUE(saveError.isNull());

        // The same through data already read.
        QVStringEncoding dataEncoding = c.requested;
        QVError dataError;
        EXPECT_EQ(FileEncodings::createWithData(c.bytes, path, &dataEncoding, &dataError), *text);
        EXPECT_EQ(dataError.code(), 16);
        EXPECT_EQ(dataEncoding, TextEncoding::MacOSRoman);
    }
}

// A remembered encoding the bytes are not valid in gives way to detection (the declaration, then
// the default) before the fallback; a text that saving changes some bytes of is read whole in its
// encoding and says so, naming the first such character and its bytes before and after.
TEST(FileEncodings, ReadNoticesOfRememberedEncodingsAndOneWayCodes) {
    TestDir dir;
    const QByteArray page = "<meta charset=\"shift_jis\">\n\x83\x81\x83\x6a\x83\x85\x81\x5b \xfa\x4a\n";
    struct Case {
        const char* label;
        QByteArray bytes;
        QVStringEncoding requested;
        QVStringEncoding read;
        qint64 code;  // 0: no notice
        const char* notice;
        const char* why;
    } cases[] = {
        {"remembered utf-8, a shift_jis page", page, TextEncoding::UTF8, ShiftJIS, 23,
         "Opened using Japanese (Shift JIS); saving it changes the bytes of some characters",
         "Japanese (Shift JIS) has two codes for some characters and writes the standard one: \u2160, read from FA 4A at byte "
         "36, is written as 87 54, which reads as \u2160."},
        {"detected shift_jis page", page, 0, ShiftJIS, 23, nullptr, nullptr},
        {"chosen shift_jis", page, ShiftJIS, ShiftJIS, 23, nullptr, nullptr},
        {"remembered utf-8, a clean shift_jis page", "<meta charset=\"shift_jis\">\n\x93\xfa\n", TextEncoding::UTF8, ShiftJIS, 23,
         "Opened using Japanese (Shift JIS)", "The file is not valid in Unicode (UTF-8), the encoding chosen for it."},
        {"remembered euc-kr, now utf-8 without a declaration", "\xe6\x97\xa5\n", EUCKR, TextEncoding::UTF8, 23,
         "Opened using Unicode (UTF-8)", "The file is not valid in Korean (EUC), the encoding chosen for it."},
        {"remembered encoding that reads it", "\x93\xfa\n", ShiftJIS, ShiftJIS, 0, nullptr, nullptr},
        {"euc-jp one-way code", "<?xml version=\"1.0\" encoding=\"euc-jp\"?>\n\x8e\xe0\n", 0, EUCJP, 23, nullptr,
         "Japanese (EUC) has two codes for some characters and writes the standard one: \u00a2, read from 8E E0 at byte 40, is "
         "written as A1 F1, which reads as \uffe0."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const QString path = dir.write(QStringLiteral("page.html"), c.bytes);
        for (const bool fromData : {false, true}) {
            QVStringEncoding encoding = c.requested;
            QVError notice;
            const auto text = fromData ? FileEncodings::createWithData(c.bytes, path, &encoding, &notice)
                                       : FileEncodings::createWithContentsOfFile(path, &encoding, &notice);
            ASSERT_TRUE(text.has_value());
            EXPECT_EQ(encoding, c.read);
            EXPECT_EQ(*text, TextEncoding::decode(c.bytes, c.read).value_or(QString()));
            EXPECT_EQ(notice.code(), c.code);
            if (c.notice) { EXPECT_EQ(notice.localizedDescription(), QString::fromUtf8(c.notice)); }
            if (c.why) { EXPECT_EQ(notice.localizedRecoverySuggestion(), QString::fromUtf8(c.why)); }
            EXPECT_TRUE(c.code == 0 || FileEncodings::isReadNotice(notice));
        }
    }
}

// The declarations a save in another encoding rewrites, and the names it writes.
TEST(FileEncodings, DeclaredCharsetsAndTheNamesToDeclare) {
    const struct {
        const char* text;
        QStringList names;
    } cases[] = {
        {"<html><head><meta charset=\"iso-8859-1\"></head>", {"iso-8859-1"}},
        {"<?xml version='1.0' encoding='EUC-JP'?>\r\n<html><meta http-equiv=\"Content-Type\" content=\"text/html; charset=euc-jp\">", {"EUC-JP", "euc-jp"}},
        {"<META CHARSET=utf-8>", {"utf-8"}},
        {"@charset \"Shift_JIS\";\nbody { font: 12px }", {"Shift_JIS"}},
        {"\ufeff@charset \"utf-8\";", {"utf-8"}},
        {"body {}\n@charset \"utf-8\";", {}},  // only first in a style sheet
        {"<p>meta charset is set in the head</p>", {}},
        {"<meta charset=\"\">", {}},
    };
    for (const auto& c : cases) {
        const QString text = QString::fromUtf8(c.text);
        SCOPED_TRACE(c.text);
        QStringList names;
        for (const QVRange range : FileEncodings::declaredCharsets(text)) names << text.mid(range.location, range.length);
        EXPECT_EQ(names, c.names);
    }
    QString thirtyOne;
    for (int i = 0; i < 30; ++i) thirtyOne += QStringLiteral("line\n");
    EXPECT_TRUE(FileEncodings::declaredCharsets(thirtyOne + QStringLiteral("<meta charset=\"utf-8\">\n")).isEmpty());
    EXPECT_EQ(FileEncodings::declaredCharsets(thirtyOne.left(29 * 5) + QStringLiteral("<meta charset=\"utf-8\">\n")).size(), 1);

    const struct {
        QVStringEncoding encoding;
        const char* name;
    } names[] = {{TextEncoding::UTF8, "UTF-8"}, {ShiftJIS, "Shift_JIS"}, {EUCJP, "EUC-JP"}, {Big5, "Big5"},
                 {code(0x0206), "ISO-8859-6"}, {TextEncoding::ISOLatin1, "ISO-8859-1"}};
    for (const auto& n : names) {
        EXPECT_EQ(FileEncodings::declarationName(n.encoding), QString::fromLatin1(n.name));
        EXPECT_EQ(FileEncodings::encodingFromDeclaration(QString::fromLatin1(n.name)), n.encoding);
    }
}

TEST(FileEncodings, DataIsDecodedWithDetectionFromThePath) {
    TestDir dir;
    const QString korean = QStringLiteral("\ud55c\uad6d\uc5b4\n");
    const QByteArray bytes = "<meta charset=\"euc-kr\">\n" + encoded(korean, EUCKR);
    const QString path = dir.write(QStringLiteral("ko.html"), bytes);
    QVStringEncoding encoding = 0;
    QVError error;
    const auto text = FileEncodings::createWithData(bytes, path, &encoding, &error);
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(text->endsWith(korean));
    EXPECT_EQ(encoding, EUCKR);
    EXPECT_TRUE(error.isNull());
    // Detection uses the path's name even when no file is there.
    encoding = 0;
    EXPECT_EQ(FileEncodings::createWithData(encoded(korean, EUCKR), dir.file(QStringLiteral("gone.euc-kr.txt")),
                                            &encoding),
              korean);
    EXPECT_EQ(encoding, EUCKR);

    // Detection looks at the data, not at what the file holds now.
    const QString koi8 = QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442\n");
    const QByteArray koi8Bytes = "<meta charset=\"koi8-r\">\n" + encoded(koi8, KOI8R);
    encoding = 0;
    const auto fromData = FileEncodings::createWithData(koi8Bytes, path, &encoding);
    ASSERT_TRUE(fromData.has_value());
    EXPECT_TRUE(fromData->endsWith(koi8));
    EXPECT_EQ(encoding, KOI8R);
    encoding = 0;
    EXPECT_TRUE(FileEncodings::createWithData(koi8Bytes, dir.file(QStringLiteral("missing.html")), &encoding)
                    ->endsWith(koi8));
    EXPECT_EQ(encoding, KOI8R);
}

TEST(FileEncodings, BadPathsGiveErrors) {
    TestDir dir;
    const QString folder = dir.file(QStringLiteral("folder.html"));
    QDir().mkpath(folder);
    const QString fifo = dir.file(QStringLiteral("pipe.txt"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    struct Case {
        const char* label;
        QString path;
        qint64 code;
    } cases[] = {
        {"missing", dir.file(QStringLiteral("missing.txt")), ENOENT},
        {"folder", folder, EISDIR},
        {"named pipe, which would block", fifo, EINVAL},
        {"empty path", QString(), ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        QVStringEncoding encoding = 0;
        QVError error;
        EXPECT_FALSE(FileEncodings::createWithContentsOfFile(c.path, &encoding, &error).has_value());
        EXPECT_EQ(error.domain(), QVError::posixDomain());
        EXPECT_EQ(error.code(), c.code);
        EXPECT_FALSE(error.localizedDescription().isEmpty());
        EXPECT_EQ(encoding, TextEncoding::UTF8);  // what detection gives for an unreadable file
        EXPECT_EQ(FileEncodings::_encodingForPath(c.path), TextEncoding::UTF8);
    }
}

TEST(FileEncodings, EmptyFileIsEmptyText) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("empty.txt"), QByteArray());
    for (QVStringEncoding requested : {QVStringEncoding(0), TextEncoding::UTF16, ShiftJIS}) {
        QVStringEncoding encoding = requested;
        QVError error;
        const auto text = FileEncodings::createWithContentsOfFile(path, &encoding, &error);
        ASSERT_TRUE(text.has_value());
        EXPECT_TRUE(text->isEmpty());
        EXPECT_TRUE(error.isNull());
        EXPECT_EQ(encoding, requested ? requested : TextEncoding::UTF8);
    }
}

TEST(FileEncodings, LongLinesAndLargeFilesReadWhole) {
    TestDir dir;
    QString text(1024 * 1024, QChar(0x3042));  // a 3 MB line in UTF-8, with no line break
    text += QStringLiteral("\n<meta charset=\"utf-8\">\n");
    const QString path = dir.write(QStringLiteral("long.html"), encoded(text, TextEncoding::UTF8));
    QVStringEncoding encoding = 0;
    QVError error;
    const auto read = FileEncodings::createWithContentsOfFile(path, &encoding, &error);
    ASSERT_TRUE(read.has_value());
    EXPECT_TRUE(*read == text);
    EXPECT_EQ(encoding, TextEncoding::UTF8);
    EXPECT_TRUE(error.isNull());
}

TEST(FileEncodings, FileThatDisappearsWhileReadGivesTextOrAnError) {
    TestDir dir;
    const QString path = dir.file(QStringLiteral("flicker.txt"));
    const QString staged = dir.file(QStringLiteral("staged.txt"));
    QString expected;
    for (int i = 0; i < 5000; ++i) expected += QStringLiteral("line %1 \u00e9\n").arg(i);
    const QByteArray bytes = expected.toUtf8();

    std::atomic<bool> stop{false};
    std::thread flicker([&] {
        // The file comes and goes whole: a complete copy is renamed in, then removed.
        for (int round = 0; round < 3000 && !stop; ++round) {
            QFile f(staged);
            if (f.open(QIODevice::WriteOnly)) {
                f.write(bytes);
                f.close();
            }
            ::rename(QFile::encodeName(staged).constData(), QFile::encodeName(path).constData());
            ::unlink(QFile::encodeName(path).constData());
        }
    });
    int whole = 0, missing = 0;
    for (int i = 0; i < 400; ++i) {
        QVStringEncoding encoding = 0;
        QVError error;
        const auto text = FileEncodings::createWithContentsOfFile(path, &encoding, &error);
        if (text) {
            ASSERT_TRUE(*text == expected);
            ASSERT_TRUE(error.isNull());
            ++whole;
        } else {
            ASSERT_EQ(error.code(), ENOENT);
            ++missing;
        }
    }
    stop = true;
    flicker.join();
    EXPECT_EQ(whole + missing, 400);
    RecordProperty("whole", whole);
    RecordProperty("missing", missing);
}

TEST(FileEncodings, DetectionFromManyThreadsAtOnce) {
    TestDir dir;
    const QString euckr = dir.write(QStringLiteral("k.html"), "<meta charset=\"euc-kr\">\n\xc7\xd1\n");
    const QString xml = dir.write(QStringLiteral("j.xml"), "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n\x93\xfa\n");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                QVStringEncoding a = 0, b = 0;
                const auto ka = FileEncodings::createWithContentsOfFile(euckr, &a);
                const auto jb = FileEncodings::createWithContentsOfFile(xml, &b);
                if (a != EUCKR || b != ShiftJIS || !ka || !ka->endsWith(QStringLiteral("\ud55c\n")) || !jb ||
                    !jb->endsWith(QStringLiteral("\u65e5\n")))
                    ++wrong;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(FileEncodings, WritingFallsBackWithAWarning) {
    struct Case {
        const char* label;
        QString text;
        QVStringEncoding requested;
        QByteArray bytes;
        QVStringEncoding used;
        bool warning;
    } cases[] = {
        {"fits", QStringLiteral("caf\u00e9"), TextEncoding::ISOLatin1, "caf\xe9", TextEncoding::ISOLatin1, false},
        {"default encoding", QStringLiteral("\u65e5"), 0, "\xe6\x97\xa5", TextEncoding::UTF8, false},
        {"euro in latin 1", QStringLiteral("\u20ac5"), TextEncoding::ISOLatin1, "?5", TextEncoding::ISOLatin1, true},
        {"hangul in shift-jis", QStringLiteral("a\ud55c"), ShiftJIS, "a?", ShiftJIS, true},
        {"lone surrogate in utf-8", QStringLiteral("a") + QChar(0xD800), TextEncoding::UTF8, "a?", TextEncoding::UTF8, true},
        {"unknown encoding", QStringLiteral("caf\u00e9 \u65e5"), 8, "caf\x8e ?", TextEncoding::MacOSRoman, true},
        {"empty text", QString(), TextEncoding::UTF8, "", TextEncoding::UTF8, false},
        {"utf-16 has its mark", QStringLiteral("A"), TextEncoding::UTF16, QByteArray("\xff\xfe" "A\x00", 4), TextEncoding::UTF16, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        QVStringEncoding encoding = c.requested;
        QVError error;
        const auto bytes = FileEncodings::dataUsingEncoding(c.text, &encoding, &error);
        ASSERT_TRUE(bytes.has_value());
        EXPECT_EQ(bytes->toHex().toStdString(), c.bytes.toHex().toStdString());
        EXPECT_EQ(encoding, c.used);
        if (c.warning) {
            EXPECT_EQ(error.domain(), QVError::applicationDomain());
            EXPECT_EQ(error.code(), 16);
            EXPECT_FALSE(error.localizedDescription().isEmpty());
            EXPECT_TRUE(error.localizedRecoverySuggestion().contains(FileEncodings::stringFromEncoding(c.used)));
            EXPECT_FALSE(error.localizedRecoverySuggestion().contains(QLatin1String("%@")));
        } else {
            EXPECT_TRUE(error.isNull());
        }
        // No encoding pointer: the default, and the same bytes when it is the one asked for.
        if (c.requested == 0) {
            EXPECT_EQ(FileEncodings::dataUsingEncoding(c.text, nullptr), c.bytes);
        }
    }
}

}  // namespace

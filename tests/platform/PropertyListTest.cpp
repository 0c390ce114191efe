// Property lists: round trips, exchange with Python's plistlib, and hostile or damaged input.
#include "platform/PropertyList.h"

#include "tests/platform/VariantDump.h"
#include "tests/support/TestSupport.h"

#include <QColor>
#include <QFile>
#include <QPoint>
#include <QProcess>
#include <QUrl>

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <chrono>
#include <limits>
#include <random>

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");

QDateTime utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

// Runs a Python snippet with arguments; answers its output, or fails the test on a non-zero exit.
QString runPython(const QString& script, const QStringList& args) {
    QProcess python;
    python.start(kPython, QStringList{QStringLiteral("-c"), script} + args);
    if (!python.waitForFinished(30000) || python.exitStatus() != QProcess::NormalExit) {
        ADD_FAILURE() << "python3 did not run: " << python.errorString().toStdString();
        return {};
    }
    const QString out = QString::fromUtf8(python.readAllStandardOutput()).trimmed();
    if (python.exitCode() != 0)
        ADD_FAILURE() << "python3 failed: " << python.readAllStandardError().toStdString();
    return out;
}

const QString kPythonPrelude = QStringLiteral(
    "import plistlib, sys, datetime, math\n"
    "from datetime import datetime as dt\n"
    "def same(a, b):\n"
    "    if type(a) is not type(b): return False\n"
    "    if isinstance(a, dict): return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)\n"
    "    if isinstance(a, list): return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))\n"
    "    return a == b\n");

// Python writes the literal in the format; we read it.
const QString kPythonWrite = kPythonPrelude + QStringLiteral(
    "fmt = plistlib.FMT_XML if sys.argv[1] == 'xml' else plistlib.FMT_BINARY\n"
    "open(sys.argv[3], 'wb').write(plistlib.dumps(eval(sys.argv[2]), fmt=fmt, sort_keys=True))\n");

// Python reads our file and compares it, type for type, with the literal.
const QString kPythonCheck = kPythonPrelude + QStringLiteral(
    "v = plistlib.load(open(sys.argv[1], 'rb'))\n"
    "e = eval(sys.argv[2])\n"
    "print('same' if same(v, e) else 'differs: %r' % (v,))\n");

struct ExchangeRow {
    const char* name;
    QVariant value;
    QString python;  // the same value as a Python literal
    // XML keeps whole seconds: where that matters, the value and literal after an XML trip.
    QVariant xmlValue = {};
    QString xmlPython = {};
};

QVariant boundaryLists() {
    QVariantList lists;
    for (const int n : {14, 15, 16, 255, 256}) {
        QVariantList list;
        for (int i = 0; i < n; ++i) list << QStringLiteral("entry %1 long enough not to be shared").arg(i, 3, 10, QLatin1Char('0'));
        lists << QVariant(list);
    }
    QVariantList same;
    for (int i = 0; i < 300; ++i) same << QStringLiteral("same");
    lists << QVariant(same);
    return lists;
}

std::vector<ExchangeRow> exchangeRows() {
    QByteArray pattern;
    for (int i = 0; i < 1000; ++i) pattern.append(char(i * 7));
    return {
        {"empty dict", QVariantMap{}, QStringLiteral("{}")},
        {"empty array", QVariantList{}, QStringLiteral("[]")},
        {"booleans stay booleans", QVariantList{true, false, qint64(1), qint64(0)},
         QStringLiteral("[True, False, 1, 0]")},
        {"integers of every width",
         QVariantList{qint64(0), qint64(1), qint64(-1), qint64(-5), qint64(255), qint64(256), qint64(65535),
                      qint64(2147483647), qint64(2147483648LL), qint64(-2147483649LL), qint64(4294967296LL),
                      std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min()},
         QStringLiteral("[0, 1, -1, -5, 255, 256, 65535, 2147483647, 2147483648, -2147483649, 4294967296, "
                        "9223372036854775807, -9223372036854775808]")},
        {"reals", QVariantList{0.0, 0.1, -2.5, 1e-300, 1.7976931348623157e308, 3.0, -123456.789},
         QStringLiteral("[0.0, 0.1, -2.5, 1e-300, 1.7976931348623157e308, 3.0, -123456.789]")},
        {"strings",
         QVariantList{QString(QLatin1String("")), QStringLiteral("plain"), QStringLiteral("héllo ✓ 𝄞 日本語"),
                      QStringLiteral("<&>\"' ]]> <!-- x -->"), QStringLiteral("tab\tnew\nline"),
                      QStringLiteral("  spaced  ")},
         QStringLiteral("['', 'plain', 'h\\u00e9llo \\u2713 \\U0001d11e \\u65e5\\u672c\\u8a9e', "
                        "'<&>\"\\' ]]> <!-- x -->', 'tab\\tnew\\nline', '  spaced  ']")},
        {"data", QVariantList{QByteArray(""), QByteArray("\0\1\xff", 3), pattern},
         QStringLiteral("[b'', b'\\x00\\x01\\xff', bytes((i * 7) % 256 for i in range(1000))]")},
        {"dates in whole seconds",
         QVariantList{utc(2020, 5, 17, 10, 20, 30), utc(2001, 1, 1), utc(1999, 12, 31, 23, 59, 59), utc(1970, 1, 1),
                      utc(1900, 1, 1), utc(2100, 6, 1, 12), utc(1933, 1, 1), utc(2068, 12, 31, 23, 59, 59)},
         QStringLiteral("[dt(2020,5,17,10,20,30), dt(2001,1,1), dt(1999,12,31,23,59,59), dt(1970,1,1), "
                        "dt(1900,1,1), dt(2100,6,1,12), dt(1933,1,1), dt(2068,12,31,23,59,59)]")},
        {"dates with milliseconds", QVariantList{utc(2023, 3, 8, 20, 26, 40, 250), utc(2000, 12, 31, 23, 58, 19, 500)},
         QStringLiteral("[dt(2023,3,8,20,26,40,250000), dt(2000,12,31,23,58,19,500000)]"),
         QVariantList{utc(2023, 3, 8, 20, 26, 40), utc(2000, 12, 31, 23, 58, 19)},
         QStringLiteral("[dt(2023,3,8,20,26,40), dt(2000,12,31,23,58,19)]")},
        {"nested containers",
         QVariantMap{{QStringLiteral("list"), QVariantList{QVariantMap{{QStringLiteral("a"), qint64(1)}},
                                                           QVariantList{QVariant(QVariantList{})}, QVariantMap{}}},
                     {QStringLiteral("ключ ✓"), QVariantMap{{QStringLiteral("inner"), QStringLiteral("v")},
                                                            {QStringLiteral("flag"), true}}},
                     {QString(QLatin1String("")), qint64(-7)}},
         QStringLiteral("{'list': [{'a': 1}, [[]], {}], '\\u043a\\u043b\\u044e\\u0447 \\u2713': "
                        "{'inner': 'v', 'flag': True}, '': -7}")},
        {"scalar root", QStringLiteral("alone"), QStringLiteral("'alone'")},
        // Element counts on both sides of the marker's nibble, references past one byte, long
        // strings written apart and one short string shared three hundred times.
        {"counts and references at their boundaries", boundaryLists(),
         QStringLiteral("[['entry %03d long enough not to be shared' % i for i in range(n)] for n in (14, 15, 16, 255, 256)]"
                        " + [['same'] * 300]")},
    };
}

struct FormatCase {
    PlistFormat format;
    const char* name;
};
const FormatCase kFormats[] = {{PlistFormat::XML, "xml"}, {PlistFormat::Binary, "binary"}};

TEST(PropertyList, RoundTripsEveryTypeInBothFormats) {
    std::vector<ExchangeRow> rows = exchangeRows();
    rows.push_back({"carriage returns and controls", QStringLiteral("a\r\nb\rc\x01\x1f"), QString()});
    // More objects than two-byte references and offsets can name; keys shared by every entry.
    QVariantList wide;
    for (int i = 0; i < 30000; ++i)
        wide << QVariantMap{{QStringLiteral("path"), QStringLiteral("/srv/www/site-%1").arg(i)}, {QStringLiteral("n"), qint64(i) - 15000}};
    rows.push_back({"wide references", wide, QString()});
    for (const ExchangeRow& row : rows) {
        for (const FormatCase& f : kFormats) {
            SCOPED_TRACE(std::string(row.name) + " / " + f.name);
            QVError error;
            const QByteArray data = PropertyList::toData(row.value, f.format, &error);
            ASSERT_FALSE(data.isEmpty()) << error.localizedDescription().toStdString();
            EXPECT_TRUE(error.isNull());
            EXPECT_EQ(data.startsWith("bplist00"), f.format == PlistFormat::Binary);
            PlistFormat detected = PlistFormat::XML;
            const QVariant back = PropertyList::fromData(data, &error, &detected);
            EXPECT_TRUE(error.isNull()) << error.localizedDescription().toStdString();
            EXPECT_EQ(detected, f.format);
            const QVariant& expected = f.format == PlistFormat::XML && row.xmlValue.isValid() ? row.xmlValue : row.value;
            EXPECT_EQ(dumpOf(back), dumpOf(expected));
        }
    }
}

TEST(PropertyList, ExchangesFilesWithPythonPlistlibBothWays) {
    ASSERT_TRUE(QFile::exists(kPython)) << "python3 is needed (scripts/setup installs it)";
    TestDir dir;
    for (const ExchangeRow& row : exchangeRows()) {
        for (const FormatCase& f : kFormats) {
            SCOPED_TRACE(std::string(row.name) + " / " + f.name);
            const bool xmlVariant = f.format == PlistFormat::XML && row.xmlValue.isValid();
            const QVariant expected = xmlVariant ? row.xmlValue : row.value;
            const QString expectedPython = xmlVariant ? row.xmlPython : row.python;

            // Theirs, read by us.
            const QString theirs = dir.file(QStringLiteral("theirs-%1.plist").arg(QLatin1String(f.name)));
            runPython(kPythonWrite, {QLatin1String(f.name), row.python, theirs});
            QVError error;
            PlistFormat detected = PlistFormat::XML;
            const QVariant read = PropertyList::readFile(theirs, &error, &detected);
            EXPECT_TRUE(error.isNull()) << error.localizedDescription().toStdString();
            EXPECT_EQ(detected, f.format);
            EXPECT_EQ(dumpOf(read), dumpOf(expected));

            // Ours, read by them.
            const QString ours = dir.file(QStringLiteral("ours-%1.plist").arg(QLatin1String(f.name)));
            ASSERT_TRUE(PropertyList::writeFile(row.value, ours, f.format, &error))
                << error.localizedDescription().toStdString();
            EXPECT_EQ(runPython(kPythonCheck, {ours, expectedPython}), QStringLiteral("same"));
        }
    }
}

TEST(PropertyList, ReadsUidsAndUnusualSpellingsFromOtherWriters) {
    TestDir dir;
    const QString uid = dir.file(QStringLiteral("uid.plist"));
    runPython(kPythonWrite, {QStringLiteral("binary"), QStringLiteral("[plistlib.UID(5), plistlib.UID(300)]"), uid});
    EXPECT_EQ(dumpOf(PropertyList::readFile(uid)), "[uid:5, uid:300]");

    const QByteArray xml =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"x.dtd\">\n"
        "<plist version='1.0'><!-- a comment --><dict><key>a</key><string><![CDATA[<x>]]>&amp;&#x41;</string>"
        "<key>b</key><array/><key>c</key><dict/><?pi ignored?></dict></plist>";
    QVError error;
    EXPECT_EQ(dumpOf(PropertyList::fromData(xml, &error)), "{a: str:\"<x>&A\", b: [], c: {}}")
        << error.localizedDescription().toStdString();
}

TEST(PropertyList, WritingNormalisesTheAcceptedQtTypes) {
    const QDateTime local = QDateTime(QDate(2022, 7, 1), QTime(12, 0), Qt::OffsetFromUTC, 7200);
    const QVariantHash hash = {{QStringLiteral("b"), 2}, {QStringLiteral("a"), 1}};
    const QVariantList in = {QVariant(int(5)),       QVariant(uint(7)),   QVariant(1.5f),
                             QVariant(QStringList{QStringLiteral("x"), QStringLiteral("y")}),
                             QVariant(QUrl(QStringLiteral("https://example.com/a b"))),
                             QVariant(hash),         QVariant(local),     QVariant(short(-3))};
    const std::string expected =
        "[int:5, int:7, real:1.5, [str:\"x\", str:\"y\"], str:\"https://example.com/a b\", {a: int:1, b: int:2}, "
        "date:2022-07-01T10:00:00.000Z, int:-3]";
    for (const FormatCase& f : kFormats) {
        SCOPED_TRACE(f.name);
        QVError error;
        EXPECT_EQ(dumpOf(PropertyList::fromData(PropertyList::toData(in, f.format, &error))), expected);
        EXPECT_TRUE(error.isNull());
    }
}

QVariant nestedLists(int depth) {
    QVariant v = QVariantList{};
    for (int i = 1; i < depth; ++i) v = QVariantList{v};
    return v;
}

TEST(PropertyList, XmlTextIsTheLibrarysOwnByteForByte) {
    // XML is printed without a libplist tree; the text must stay what libplist prints for the
    // same values (files under version control must not change when nothing did), and values it
    // does not print itself must still come out right.
    std::vector<std::pair<std::string, QVariant>> rows;
    for (const ExchangeRow& row : exchangeRows())
        if (!row.xmlValue.isValid()) rows.push_back({row.name, row.value});
    QByteArray bytes;
    for (int i = 0; i < 300; ++i) bytes.append(char(i * 13));
    QVariant deep = bytes;
    for (int depth = 0; depth < 12; ++depth) {
        rows.push_back({"data at depth " + std::to_string(depth), deep});
        deep = QVariantList{deep, QVariantMap{{QStringLiteral("k"), QByteArray("x")}}};
    }
    rows.push_back({"reals of every shape", QVariantList{0.0, -0.0, 1.0, 1e21, 1e16, -2.5e-7, 4.9e-324, 1.0 / 3, 100.0, 123456789.125,
                                                        float(0.1f)}});
    rows.push_back({"reals the library prints itself", QVariantList{std::numeric_limits<double>::quiet_NaN(),
                                                                   std::numeric_limits<double>::infinity(), 1.5}});
    rows.push_back({"escapes in keys and strings", QVariantMap{{QStringLiteral("a&b<c>\"'\t\r\x01 é"),
                                                               QStringLiteral("x&amp;<y>]]>\x1f 😀")}}});
    rows.push_back({"accepted Qt types", QVariantMap{{QStringLiteral("hash"), QVariantHash{{QStringLiteral("b"), 1}, {QStringLiteral("a"), 2u}}},
                                                     {QStringLiteral("url"), QUrl(QStringLiteral("https://example.org/a b"))},
                                                     {QStringLiteral("strings"), QStringList{QStringLiteral("x"), QString()}},
                                                     {QStringLiteral("short"), QVariant::fromValue<short>(-3)}}});
    rows.push_back({"dates at the library's limits", QVariantList{utc(1901, 12, 13, 20, 45, 52), utc(2038, 1, 19, 3, 14, 7),
                                                                 utc(1901, 12, 13, 20, 45, 51), utc(1600, 1, 1), utc(2023, 3, 8, 20, 26, 40, 999)}});
    for (const auto& [name, value] : rows) {
        SCOPED_TRACE(name);
        const QByteArray ours = PropertyList::toData(value, PlistFormat::XML);
        ASSERT_FALSE(ours.isEmpty());
        // The library's text of the same tree, read back from our binary form (which keeps
        // milliseconds: the library prints whole seconds of them).
        const QByteArray binary = PropertyList::toData(value, PlistFormat::Binary);
        plist_t tree = nullptr;
        plist_from_bin(binary.constData(), uint32_t(binary.size()), &tree);
        ASSERT_NE(tree, nullptr);
        char* xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(tree, &xml, &length);
        plist_free(tree);
        ASSERT_NE(xml, nullptr);
        const QByteArray theirs(xml, qsizetype(length));
        plist_to_xml_free(xml);
        EXPECT_EQ(ours.toStdString(), theirs.toStdString());
    }
}

TEST(PropertyList, BinaryListsReadAsTheLibraryReadsThem) {
    // Binary lists are read without a libplist tree; the values must be those of the tree, which
    // is seen here through the library's own XML text of the same bytes.
    for (const ExchangeRow& row : exchangeRows()) {
        if (row.xmlValue.isValid()) continue;  // XML keeps whole seconds only
        SCOPED_TRACE(row.name);
        const QByteArray binary = PropertyList::toData(row.value, PlistFormat::Binary);
        plist_t tree = nullptr;
        plist_from_bin(binary.constData(), uint32_t(binary.size()), &tree);
        ASSERT_NE(tree, nullptr);
        char* xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(tree, &xml, &length);
        plist_free(tree);
        ASSERT_NE(xml, nullptr);
        const QVariant theirs = PropertyList::fromData(QByteArray(xml, qsizetype(length)));
        plist_to_xml_free(xml);
        EXPECT_EQ(dumpOf(PropertyList::fromData(binary)), dumpOf(theirs));
    }
}

TEST(PropertyList, RefusesValuesWithoutAPlistForm) {
    struct Row {
        const char* name;
        QVariant value;
        PropertyList::ErrorCode code;
        const char* mentions;
    };
    const Row rows[] = {
        {"colour", QVariantMap{{QStringLiteral("tint"), QColor(Qt::red)}}, PropertyList::UnsupportedValueError, "tint"},
        {"null inside a list", QVariantList{qint64(1), QVariant()}, PropertyList::UnsupportedValueError, "[1]"},
        {"point", QPoint(1, 2), PropertyList::UnsupportedValueError, "QPoint"},
        {"NUL in a string", QStringLiteral("a") + QChar(0) + QStringLiteral("b"), PropertyList::UnsupportedValueError,
         "NUL"},
        {"NUL in a key", QVariantMap{{QStringLiteral("k") + QChar(0), true}}, PropertyList::UnsupportedValueError, "NUL"},
        {"unsigned beyond qint64", QVariant(std::numeric_limits<quint64>::max()), PropertyList::UnsupportedValueError,
         "too large"},
        {"invalid date", QDateTime(), PropertyList::UnsupportedValueError, "date"},
        {"nested too deep", nestedLists(PropertyList::maximumDepth + 1), PropertyList::NestingTooDeepError, "512"},
    };
    for (const Row& row : rows) {
        for (const FormatCase& f : kFormats) {
            SCOPED_TRACE(std::string(row.name) + " / " + f.name);
            QVError error;
            EXPECT_TRUE(PropertyList::toData(row.value, f.format, &error).isEmpty());
            EXPECT_EQ(error.domain(), PropertyList::errorDomain());
            EXPECT_EQ(error.code(), row.code);
            EXPECT_TRUE(error.localizedDescription().contains(QLatin1String(row.mentions)))
                << error.localizedDescription().toStdString();
        }
    }
    // The deepest accepted nesting goes through both ways.
    for (const FormatCase& f : kFormats) {
        QVError error;
        const QVariant deepest = nestedLists(PropertyList::maximumDepth);
        EXPECT_EQ(dumpOf(PropertyList::fromData(PropertyList::toData(deepest, f.format), &error)), dumpOf(deepest))
            << f.name << ": " << error.localizedDescription().toStdString();
    }
}

// ---- Hand-made binary lists -------------------------------------------------------------------

QByteArray bigEndian(quint64 v, int size) {
    QByteArray out(size, '\0');
    for (int i = size - 1; i >= 0; --i, v >>= 8) out[i] = char(v & 0xFF);
    return out;
}

QByteArray arrayObject(const std::vector<quint64>& refs, int refSize) {
    QByteArray o;
    if (refs.size() < 15) {
        o.append(char(0xA0 | refs.size()));
    } else {
        o.append(char(0xAF));
        o.append(char(0x12));
        o.append(bigEndian(refs.size(), 4));
    }
    for (quint64 r : refs) o.append(bigEndian(r, refSize));
    return o;
}

QByteArray dictObject(const std::vector<quint64>& keys, const std::vector<quint64>& values, int refSize) {
    QByteArray o(1, char(0xD0 | keys.size()));
    for (quint64 r : keys) o.append(bigEndian(r, refSize));
    for (quint64 r : values) o.append(bigEndian(r, refSize));
    return o;
}

QByteArray asciiObject(const QByteArray& text) { return QByteArray(1, char(0x50 | text.size())) + text; }

QByteArray utf16Object(const QString& text) {
    QByteArray o(1, char(0x60 | text.size()));
    for (QChar c : text) o.append(bigEndian(c.unicode(), 2));
    return o;
}

QByteArray binaryPlist(const std::vector<QByteArray>& objects, int refSize, int offsetSize = 4, quint64 top = 0) {
    QByteArray out("bplist00");
    std::vector<quint64> offsets;
    for (const QByteArray& o : objects) {
        offsets.push_back(quint64(out.size()));
        out.append(o);
    }
    const quint64 table = quint64(out.size());
    for (quint64 off : offsets) out.append(bigEndian(off, offsetSize));
    out.append(QByteArray(6, '\0'));
    out.append(char(offsetSize));
    out.append(char(refSize));
    out.append(bigEndian(objects.size(), 8));
    out.append(bigEndian(top, 8));
    out.append(bigEndian(table, 8));
    return out;
}

QByteArray chainOfArrays(int length, int refsPerLink) {
    std::vector<QByteArray> objects;
    for (int i = 0; i < length; ++i) objects.push_back(arrayObject(std::vector<quint64>(refsPerLink, quint64(i + 1)), 4));
    objects.push_back(arrayObject({}, 4));
    return binaryPlist(objects, 4);
}

QByteArray withTrailerField(QByteArray data, int offsetFromEnd, quint64 value) {
    data.replace(data.size() - offsetFromEnd, 8, bigEndian(value, 8));
    return data;
}

TEST(PropertyList, DamagedAndHostileInputGivesErrorsNeverCrashes) {
    const QByteArray empty = binaryPlist({arrayObject({}, 1)}, 1);
    QByteArray offsetOutOfRange = empty;
    offsetOutOfRange.replace(offsetOutOfRange.size() - 32 - 4, 4, bigEndian(0xFFFFFFF0u, 4));
    QByteArray hugeArray = binaryPlist({QByteArray("\xAF\x13", 2) + bigEndian(quint64(1) << 62, 8)}, 1);
    const QByteArray xmlDeep = "<plist>" + QByteArray("<array>").repeated(100000) +
                               QByteArray("</array>").repeated(100000) + "</plist>";
    const QByteArray xmlJustTooDeep = "<plist>" + QByteArray("<array>").repeated(PropertyList::maximumDepth + 1) +
                                      QByteArray("</array>").repeated(PropertyList::maximumDepth + 1) + "</plist>";
    struct Row {
        const char* name;
        QByteArray data;
        PropertyList::ErrorCode code;
    };
    const Row rows[] = {
        {"no bytes", QByteArray(), PropertyList::MalformedError},
        {"one byte <", "<", PropertyList::MalformedError},
        {"one byte b", "b", PropertyList::MalformedError},
        {"binary magic alone", "bplist00", PropertyList::MalformedError},
        {"binary magic and junk", "bplist00" + QByteArray(40, '\xFF'), PropertyList::MalformedError},
        {"plain text", "hello, world", PropertyList::MalformedError},
        {"unclosed dict", "<plist><dict><key>a</key></plist>", PropertyList::MalformedError},
        {"mismatched close", "<plist><array><string>s</array></plist>", PropertyList::MalformedError},
        {"not a plist element", "<html><body>x</body></html>", PropertyList::MalformedError},
        {"entity declarations", "<!DOCTYPE plist [<!ENTITY a \"aaaa\">]><plist><string>&a;</string></plist>",
         PropertyList::MalformedError},
        {"quote hiding a close tag", "<plist><array a=\"></array>\"><string>s</string></array></plist>",
         PropertyList::MalformedError},
        {"CDATA between elements", "<plist><array><![CDATA[</array>]]></array></plist>", PropertyList::MalformedError},
        {"XML 100000 levels deep", xmlDeep, PropertyList::NestingTooDeepError},
        {"XML one level past the limit", xmlJustTooDeep, PropertyList::NestingTooDeepError},
        {"binary 100000 levels deep", chainOfArrays(100000, 1), PropertyList::NestingTooDeepError},
        {"binary array containing itself", binaryPlist({arrayObject({0}, 1)}, 1), PropertyList::MalformedError},
        {"binary loop of two", binaryPlist({arrayObject({1}, 1), arrayObject({0}, 1)}, 1), PropertyList::MalformedError},
        {"binary reference past the end", binaryPlist({arrayObject({5}, 1)}, 1), PropertyList::MalformedError},
        {"binary offset past the table", offsetOutOfRange, PropertyList::MalformedError},
        {"binary table offset huge", withTrailerField(empty, 8, 0xFFFFFFFFFFFFFFF0ULL), PropertyList::MalformedError},
        {"binary object count huge", withTrailerField(empty, 24, 0xFFFFFFFFFFFFULL), PropertyList::MalformedError},
        {"binary top object out of range", withTrailerField(empty, 16, 7), PropertyList::MalformedError},
        {"binary array claiming 2^62 items", hugeArray, PropertyList::MalformedError},
        {"binary shared references doubling 40 times", chainOfArrays(40, 2), PropertyList::TooLargeError},
        {"binary shared references doubling 20 times", chainOfArrays(20, 2), PropertyList::TooLargeError},
        // libplist aborts on these by assertion when it hands out the key.
        {"binary key with a NUL", binaryPlist({dictObject({1}, {2}, 1), asciiObject(QByteArray("a\0b", 3)), asciiObject("v")}, 1),
         PropertyList::MalformedError},
        {"binary UTF-16 key with a NUL",
         binaryPlist({dictObject({1}, {2}, 1), utf16Object(QStringLiteral("\u00e9") + QChar(0)), asciiObject("v")}, 1),
         PropertyList::MalformedError},
        {"XML with a NUL byte", QByteArray("<plist><dict><key>a") + '\0' + "b</key><true/></dict></plist>",
         PropertyList::MalformedError},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QVError error;
        const QVariant result = PropertyList::fromData(row.data, &error);
        EXPECT_FALSE(result.isValid()) << dumpOf(result);
        EXPECT_EQ(error.domain(), PropertyList::errorDomain());
        EXPECT_EQ(error.code(), row.code) << error.localizedDescription().toStdString();
        // Refused up front, not after expanding or recursing: expanding 2^40 shared references
        // would never end, and only the up-front count answers "too large".
        EXPECT_FALSE(error.localizedDescription().isEmpty());
    }
    // Sharing that stays small is fine: one string named 10000 times, an array named twice at
    // each of 3 levels.
    QVError error;
    for (const QByteArray& data : {binaryPlist({arrayObject(std::vector<quint64>(10000, 1), 2), asciiObject("s")}, 2),
                                   chainOfArrays(3, 2)})
        EXPECT_TRUE(PropertyList::fromData(data, &error).isValid()) << error.localizedDescription().toStdString();
    // The hand-made dictionary itself is sound once its key is.
    EXPECT_EQ(dumpOf(PropertyList::fromData(
                  binaryPlist({dictObject({1}, {2}, 1), utf16Object(QStringLiteral("\u00e9t\u00e9")), asciiObject("v")}, 1),
                  &error)),
              "{\u00e9t\u00e9: str:\"v\"}")
        << error.localizedDescription().toStdString();
}

// Every prefix and a few thousand random mutations of valid files: each attempt ends in either a
// value without an error or an error without a value.
TEST(PropertyList, TruncatedAndMutatedFilesNeverCrash) {
    const QVariantMap sample = {
        {QStringLiteral("numbers"), QVariantList{qint64(-1), qint64(1) << 40, 2.5, true}},
        {QStringLiteral("text"), QStringLiteral("héllo ✓ 𝄞")},
        {QStringLiteral("when"), utc(2020, 1, 2, 3, 4, 5, 600)},
        {QStringLiteral("blob"), QByteArray(40, '\x5A')},
        {QStringLiteral("nested"), QVariantMap{{QStringLiteral("list"), QVariantList{QVariantMap{}, QVariantList{}}}}},
    };
    std::mt19937 random(20240601);
    for (const FormatCase& f : kFormats) {
        SCOPED_TRACE(f.name);
        const QByteArray whole = PropertyList::toData(sample, f.format);
        ASSERT_FALSE(whole.isEmpty());
        const auto check = [](const QByteArray& data) {
            QVError error;
            const QVariant v = PropertyList::fromData(data, &error);
            EXPECT_NE(v.isValid(), !error.isNull()) << data.toHex().toStdString();
            return v.isValid();
        };
        int validPrefixes = 0;
        for (qsizetype n = 0; n <= whole.size(); ++n) validPrefixes += check(whole.left(n)) ? 1 : 0;
        EXPECT_GE(validPrefixes, 1);
        if (f.format == PlistFormat::Binary) {
            EXPECT_EQ(validPrefixes, 1);  // the trailer sits at the end
        }
        for (int i = 0; i < 3000; ++i) {
            QByteArray mutated = whole;
            const int edits = 1 + int(random() % 4);
            for (int e = 0; e < edits; ++e) {
                const qsizetype at = qsizetype(random() % quint32(mutated.size()));
                switch (random() % 3) {
                case 0: mutated[at] = char(random()); break;
                case 1: mutated[at] = char(mutated[at] ^ (1 << (random() % 8))); break;
                default: mutated[at] = "\x00\xFF\x7F\x80\x0F\x10"[random() % 6]; break;
                }
            }
            check(mutated);
        }
    }
}

TEST(PropertyList, ReadFileNamesTheFileAndTellsMissingFromDamaged) {
    TestDir dir;
    QVError error;
    const QString missing = dir.file(QStringLiteral("missing.plist"));
    EXPECT_FALSE(PropertyList::readFile(missing, &error).isValid());
    EXPECT_EQ(error.domain(), QVError::posixDomain());
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_EQ(error.userInfoValue(QLatin1String(QVFilePathErrorKey)).toString(), missing);

    EXPECT_FALSE(PropertyList::readFile(dir.path(), &error).isValid());
    EXPECT_EQ(error.code(), EISDIR);

    const QString damaged = dir.write(QStringLiteral("damaged.plist"), "<plist><dict><key>x</key>");
    PlistFormat format = PlistFormat::Binary;
    EXPECT_FALSE(PropertyList::readFile(damaged, &error, &format).isValid());
    EXPECT_EQ(error.domain(), PropertyList::errorDomain());
    EXPECT_EQ(error.code(), PropertyList::MalformedError);
    EXPECT_TRUE(error.localizedDescription().contains(damaged)) << error.localizedDescription().toStdString();
    EXPECT_EQ(error.userInfoValue(QLatin1String(QVFilePathErrorKey)).toString(), damaged);
    EXPECT_EQ(format, PlistFormat::XML);

    // A failed write names the file too, and leaves what was there.
    const QString target = dir.write(QStringLiteral("keep.plist"), "old");
    EXPECT_FALSE(PropertyList::writeFile(QVariant(QColor(Qt::blue)), target, PlistFormat::XML, &error));
    EXPECT_EQ(error.userInfoValue(QLatin1String(QVFilePathErrorKey)).toString(), target);
    EXPECT_EQ(readAll(target), QByteArray("old"));
    EXPECT_FALSE(PropertyList::writeFile(QVariantMap{}, dir.file(QStringLiteral("no/folder.plist")),
                                         PlistFormat::XML, &error));
    EXPECT_EQ(error.code(), ENOENT);
}

}  // namespace

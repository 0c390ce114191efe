// The analytics encoders: JSON that any parser reads back (every control character, surrogates,
// non-finite numbers, deep and huge trees), Base64 equal to python's at every length, and the
// machine identifier's sources and stability.
#include "kits/metricline/MLBase64.h"
#include "kits/metricline/MLCJSONDataSerializer.h"
#include "kits/metricline/MLCSerializedJSONData.h"
#include "tests/support/TestSupport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimeZone>
#include <QUrl>

#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

QByteArray json(const QVariant& value) { return MLCJSONDataSerializer().serializeObject(value).value_or("<failed>"); }

// Parses text with Qt's reader: an independent check that the output is JSON.
QVariant parsed(const QByteArray& text) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson("[" + text + "]", &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << " in " << text.left(200).toStdString();
    return document.array().first().toVariant();
}

}  // namespace

TEST(MLCJSONDataSerializer, WritesEachValueAsCompactJSONThatParsesBack) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        QVariant value;
        QByteArray expected;
    };
    const Case cases[] = {
        {QVariantList(), "[]"},
        {QVariantMap(), "{}"},
        {true, "true"},
        {false, "false"},
        {1, "1"},
        {0, "0"},
        {qint64(-9007199254740993LL), "-9007199254740993"},
        {quint64(18446744073709551615ULL), "18446744073709551615"},
        {1.5, "1.5"},
        {2.0, "2"},
        {1e300, "1e+300"},
        {std::nan(""), "null"},
        {inf, "null"},
        {-inf, "null"},
        {QVariant(), "null"},
        {QVariant::fromValue(nullptr), "null"},
        {QStringLiteral("a\"b\\c/d"), "\"a\\\"b\\\\c\\/d\""},
        {QStringLiteral("\b\f\n\r\t"), "\"\\b\\f\\n\\r\\t\""},
        {QString(QChar(0x01)) + QChar(0x1F) + QChar(0x7F) + QChar(0), "\"\\u0001\\u001f\x7f\\u0000\""},
        {QStringLiteral("é€"), "\"\xC3\xA9\xE2\x82\xAC\""},
        {QString::fromUcs4(U"\U0001F600"), "\"\xF0\x9F\x98\x80\""},
        {QString(QChar(0xD800)) + QLatin1Char('x') + QChar(0xDC00), "\"\xEF\xBF\xBDx\xEF\xBF\xBD\""},
        {QByteArray("caf\xC3\xA9"), "\"caf\xC3\xA9\""},
        {QStringList{QStringLiteral("a"), QStringLiteral("b")}, "[\"a\",\"b\"]"},
        {QVariantMap{{QStringLiteral("b"), 1}, {QStringLiteral("a"), QVariantList{true, QVariant()}}}, "{\"a\":[true,null],\"b\":1}"},
        {QVariantList{QVariant::fromValue(MLCSerializedJSONData("{\"x\": [1, 2]}")), 3}, "[{\"x\": [1, 2]},3]"},
        {QDateTime(QDate(2014, 3, 1), QTime(12, 0), Qt::UTC), "\"2014-03-01T12:00:00Z\""},
        {QUrl(QStringLiteral("http://h/a b")), "\"http:\\/\\/h\\/a%20b\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.toStdString());
        const QByteArray out = json(c.value);
        EXPECT_EQ(out, c.expected);
        parsed(out);
    }
}

TEST(MLCJSONDataSerializer, EveryCodeUnitAndHugeOrDeepTreesStayValid) {
    // Every UTF-16 code unit once, surrogates paired where they form a pair.
    QString all;
    for (int unit = 0; unit < 0x10000; ++unit) all.append(QChar(char16_t(unit)));
    QString expected = all;
    for (int unit = 0xD800; unit <= 0xDFFF; ++unit) expected[unit] = QChar(0xFFFD);
    expected[0xDBFF] = QChar(0xDBFF);  // the last high surrogate meets the first low one
    expected[0xDC00] = QChar(0xDC00);
    EXPECT_EQ(parsed(json(all)).toString(), expected);

    // A 10 MB string of mixed text, and a wide tree, come back whole.
    QString huge;
    QRandomGenerator random(7);
    const QString pieces[] = {QStringLiteral("plain "), QStringLiteral("\"q\" "), QStringLiteral("é\n"), QStringLiteral("\x01\x1f/"),
                              QString::fromUcs4(U"\U0001F600")};
    while (huge.size() < 5'000'000) huge += pieces[random.bounded(5)];
    QVariantList wide;
    for (int i = 0; i < 20'000; ++i) wide << QVariantMap{{QStringLiteral("k%1").arg(i), i * 0.25}};
    const QVariantMap tree{{QStringLiteral("huge"), huge}, {QStringLiteral("wide"), wide}};
    EXPECT_EQ(parsed(json(tree)), QVariant(tree));

    // Nesting: the deepest allowed level is written, one more is refused with an error.
    for (const int depth : {MLCJSONDataSerializer::maximumDepth, MLCJSONDataSerializer::maximumDepth + 1}) {
        QVariant nested = 1;
        for (int i = 0; i < depth; ++i) nested = QVariantList{nested};
        QVError error;
        const auto out = MLCJSONDataSerializer().serializeObject(nested, &error);
        EXPECT_EQ(out.has_value(), depth <= MLCJSONDataSerializer::maximumDepth) << depth;
        EXPECT_EQ(error.isNull(), out.has_value());
        if (out) {
            EXPECT_EQ(out->size(), 2 * depth + 1);
        }
    }
}

TEST(MLBase64, MatchesPythonAtEveryLengthAndDecodesWhatItWrites) {
    QRandomGenerator random(11);
    QList<QByteArray> inputs;
    for (int length = 0; length <= 300; ++length) {
        QByteArray bytes(length, Qt::Uninitialized);
        for (char& b : bytes) b = char(random.bounded(256));
        inputs << bytes;
    }
    // Python's encodings, one line each, of the hexadecimal inputs; lines of 64 joined by CR LF.
    QByteArray script = "import base64,sys\nfor line in sys.stdin.read().split('\\n'):\n"
                        " b=bytes.fromhex(line); e=base64.b64encode(b).decode()\n"
                        " print(e+'|'+'\\r\\n'.join(e[i:i+64] for i in range(0,len(e),64)).replace('\\r\\n','#'))\n";
    QProcess python;
    python.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromLatin1(script)});
    ASSERT_TRUE(python.waitForStarted()) << "python3 is needed for this test";
    QByteArrayList hex;
    for (const QByteArray& input : inputs) hex << input.toHex();
    python.write(hex.join('\n'));
    python.closeWriteChannel();
    ASSERT_TRUE(python.waitForFinished(30000));
    const QList<QByteArray> lines = python.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(lines.size(), inputs.size());
    for (qsizetype i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(i);
        const QList<QByteArray> expected = lines[i].split('|');
        const QByteArray plain = MLBase64EncodeBytes(inputs[i].constData(), inputs[i].size(), false);
        const QByteArray lined = MLBase64EncodeBytes(inputs[i].constData(), inputs[i].size(), true);
        EXPECT_EQ(plain, expected[0]);
        EXPECT_EQ(QByteArray(lined).replace("\r\n", "#"), expected[1]);
        EXPECT_EQ(MLBase64DecodeBytes(plain.constData(), plain.size()), inputs[i]);
        EXPECT_EQ(MLBase64DecodeBytes(lined.constData(), lined.size()), inputs[i]);
        // Without padding, and with noise between the characters.
        QByteArray noisy = QByteArray(plain).replace("=", "");
        for (qsizetype at = noisy.size(); at > 0; at -= 7) noisy.insert(at, i % 2 ? " \n" : "\xC3\xA9*");
        EXPECT_EQ(MLBase64DecodeBytes(noisy.constData(), noisy.size()), inputs[i]);
    }
    EXPECT_EQ(MLDataFromBase64String(QStringLiteral("YWJj\n")), QByteArray("abc"));
    EXPECT_EQ(MLBase64EncodedString("abc"), QStringLiteral("YWJj"));
    EXPECT_EQ(MLDataFromBase64String(QString()), QByteArray());
}

TEST(MLDefaultDistinctIdentifier, IsAKeyedDigestOfTheMachineOrItsRouteInterface) {
    TestDir dir;
    const QString machineId = dir.write(QStringLiteral("machine-id"), "0123456789abcdef0123456789abcdef\n");
    const QString empty = dir.write(QStringLiteral("empty-id"), "");
    const QString route = dir.write(QStringLiteral("route"),
                                    "Iface\tDestination\tGateway\tFlags\n"
                                    "wlan0\t0000A8C0\t00000000\t0001\n"
                                    "eth7\t00000000\t0100A8C0\t0003\n");
    dir.write(QStringLiteral("net/eth7/address"), "AA:bb:cc:00:11:22\n");
    const QString hostile = dir.write(QStringLiteral("hostile-route"), "Iface\tDestination\n..\t00000000\t0\n");
    const QString net = dir.file(QStringLiteral("net"));
    const QString missing = dir.file(QStringLiteral("missing"));

    const QString fromMachine = MLDefaultDistinctIdentifier({missing, machineId}, route, net);
    const QString fromRoute = MLDefaultDistinctIdentifier({empty}, route, net);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(fromMachine).hasMatch()) << fromMachine.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(fromRoute).hasMatch());
    EXPECT_NE(fromMachine, fromRoute);
    EXPECT_EQ(MLDefaultDistinctIdentifier({machineId}, route, net), fromMachine);
    // Keyed: not the bare digest of the identity, which anyone could compute from it.
    unsigned char bare[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>("0123456789abcdef0123456789abcdef"), 32, bare);
    EXPECT_NE(fromMachine, QString::fromLatin1(QByteArray(reinterpret_cast<char*>(bare), SHA_DIGEST_LENGTH).toHex()));
    // Nothing to read, or an interface name that would leave the folder: no identifier.
    EXPECT_EQ(MLDefaultDistinctIdentifier({missing}, missing, net), QString());
    EXPECT_EQ(MLDefaultDistinctIdentifier({missing}, hostile, net), QString());
    // This machine has one, the same on every call.
    EXPECT_EQ(MLDefaultDistinctIdentifier(), MLDefaultDistinctIdentifier());
}

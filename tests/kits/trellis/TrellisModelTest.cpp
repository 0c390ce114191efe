// The kits' core without the network: image identity (crafted Mach-O, our own ELF), helpers, URL
// building, response classification and back-off, the multipart writer, the settings cache, the
// defaults store and the start with its kit registry.
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"
#include "kits/trellis/FLTMachO.h"
#include "kits/trellis/FLTUserDefaults.h"
#include "kits/trellis/TRLApplicationIdentiferModel.h"
#include "kits/trellis/TRLAsyncOperation.h"
#include "kits/trellis/TRLCertificatePinner.h"
#include "kits/trellis/TRLElfImage.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"
#include "kits/trellis/TRLNetworkClient.h"
#include "kits/trellis/TRLNetworkResponseHandler.h"
#include "kits/trellis/TRLSettings.h"
#include "kits/trellis/TRLURLBuilder.h"
#include "kits/trellis/Trellis.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// A thin Mach-O image: header, LC_UUID with the given bytes, LC_VERSION_MIN_MACOSX, in the
// byte order asked for.
QByteArray thinImage(qint32 cpuType, qint32 subtype, uchar uuidSeed, bool is64, bool bigEndian, quint32 version = 0x000A0B02,
                     quint32 sdk = 0x000A0C00) {
    QByteArray b;
    auto put = [&](quint32 v) {
        char raw[4];
        if (bigEndian)
            qToBigEndian(v, raw);
        else
            qToLittleEndian(v, raw);
        b.append(raw, 4);
    };
    put(is64 ? 0xfeedfacf : 0xfeedface);
    put(quint32(cpuType));
    put(quint32(subtype));
    put(2);       // filetype
    put(2);       // ncmds
    put(24 + 16); // sizeofcmds
    put(0);       // flags
    if (is64) put(0);
    put(27);
    put(24);
    for (int i = 0; i < 16; ++i) b.append(char(uuidSeed + i * 0x11));
    put(36);
    put(16);
    put(version);
    put(sdk);
    return b;
}

QByteArray fatImage(const QList<QByteArray>& slices, const QList<QPair<qint32, qint32>>& types) {
    QByteArray b;
    auto put = [&](quint32 v) {
        char raw[4];
        qToBigEndian(v, raw);
        b.append(raw, 4);
    };
    put(0xcafebabe);
    put(quint32(slices.size()));
    quint32 offset = 4096;
    for (int i = 0; i < slices.size(); ++i) {
        put(quint32(types[i].first));
        put(quint32(types[i].second));
        put(offset);
        put(quint32(slices[i].size()));
        put(12);
        offset += 4096;
    }
    for (const QByteArray& s : slices) {
        b.append(QByteArray(int(4096 - b.size() % 4096) % 4096, '\0'));
        b.append(s);
    }
    return b;
}

const qint32 x86_64 = 7 | 0x01000000, arm64 = 12 | 0x01000000;

TEST(TrellisModelTest, ImageIdentityFromCraftedMachOAndOurOwnElf) {
    const QByteArray thin = thinImage(x86_64, 3, 0x00, true, false);
    auto model = TRLApplicationIdentiferModel::makeForImage("install", thin);
    ASSERT_TRUE(model);
    EXPECT_EQ(model->architectureUUIDMap(), (QMap<QString, QString>{{"x86_64", "00112233445566778899aabbccddeeff"}}));
    EXPECT_EQ(model->instanceIdentifier(), TRLSHA1HexDigestOfData("00112233445566778899aabbccddeeff"));
    EXPECT_EQ(model->minimumSDKString(), "10.11.2");
    EXPECT_EQ(model->builtSDKString(), "10.12.0");

    // Fat files: two slices at their offsets; the identifier ignores their order in the file.
    const QByteArray a = thinImage(x86_64, 3, 0x10, true, false), b = thinImage(arm64, 0, 0x20, true, false);
    auto fat1 = TRLApplicationIdentiferModel::makeForImage("i", fatImage({a, b}, {{x86_64, 3}, {arm64, 0}}));
    auto fat2 = TRLApplicationIdentiferModel::makeForImage("i", fatImage({b, a}, {{arm64, 0}, {x86_64, 3}}));
    ASSERT_TRUE(fat1 && fat2);
    EXPECT_EQ(fat1->architectureUUIDMap().keys(), (QStringList{"arm64", "x86_64"}));
    EXPECT_EQ(fat1->instanceIdentifier(), fat2->instanceIdentifier());
    const QByteArray fat = fatImage({a, b}, {{x86_64, 3}, {arm64, 0}});
    FLTMachOFile file;
    ASSERT_TRUE(FLTMachOFileInitWithBuffer(&file, fat.constData(), fat.size()));
    QList<qint64> headers;
    FLTMachOFileEnumerateSlices(&file, [&](FLTMachOSlice s) { headers << (s.header - reinterpret_cast<const uchar*>(fat.constData())); });
    EXPECT_EQ(headers, (QList<qint64>{4096, 8192}));
    FLTMachOSlice armSlice;
    EXPECT_TRUE(FLTMachOFindSliceByArchitecture(&file, "arm64", &armSlice));

    // Big-endian 32-bit images read with their own byte order.
    auto swapped = TRLApplicationIdentiferModel::makeForImage("i", thinImage(18, 0, 0x30, false, true));
    ASSERT_TRUE(swapped);
    EXPECT_EQ(swapped->architectureUUIDMap().keys(), QStringList{"ppc"});
    EXPECT_EQ(swapped->minimumSDKString(), "10.11.2");

    // Damaged images: every read bounded, nothing loops, fewer answers.
    struct Damage {
        const char* what;
        QByteArray bytes;
        int commands;
    };
    QByteArray zeroSize = thin, hugeCount = thin, pastEnd = thin;
    qToLittleEndian<quint32>(0, zeroSize.data() + 32 + 4);
    qToLittleEndian<quint32>(0xffffffff, hugeCount.data() + 16);
    qToLittleEndian<quint32>(4000, pastEnd.data() + 32 + 24 + 4);
    const Damage damages[] = {
        {"zero-sized command", zeroSize, 0},
        {"command count beyond the image", hugeCount, 2},
        {"command running past the end", pastEnd, 1},
        {"truncated header", thin.left(20), 0},
        {"unknown magic", QByteArray(64, 'x'), 0},
    };
    for (const Damage& d : damages) {
        FLTMachOFile f;
        ASSERT_TRUE(FLTMachOFileInitWithBuffer(&f, d.bytes.constData(), d.bytes.size()));
        int seen = 0;
        FLTMachOFileEnumerateSlices(&f, [&](FLTMachOSlice s) { FLTMachOSliceEnumerateLoadCommands(&s, [&](const FLTMachOLoadCommand&) { ++seen; }); });
        EXPECT_EQ(seen, d.commands) << d.what;
    }
    QByteArray fatLies = fatImage({a}, {{x86_64, 3}});
    qToBigEndian<quint32>(0x7fffffff, fatLies.data() + 4);  // architecture count
    EXPECT_FALSE(TRLApplicationIdentiferModel::makeForImage("i", QByteArray(64, 'x')));

    // Files: too short, a folder and a missing path are not mapped.
    TestDir dir;
    const QString tiny = dir.write("tiny", "0123456789");
    FLTMachOFile f;
    for (const QString& path : {tiny, dir.path(), dir.file("absent")}) EXPECT_FALSE(FLTMachOFileInitWithPath(&f, path)) << path.toStdString();

    // Our own executable: ELF, its build-id's first 16 bytes as the slice UUID.
    auto elf = TRLElfReadIdentityOfFile("/proc/self/exe");
    ASSERT_TRUE(elf);
    ASSERT_FALSE(elf->buildId.isEmpty()) << "built without a build-id note";
    auto self = TRLApplicationIdentiferModel::makeForExecutable("i", "/proc/self/exe");
    ASSERT_TRUE(self);
    const QByteArray uuid = elf->uuidBytes();
    EXPECT_EQ(self->architectureUUIDMap().value(elf->architecture),
              TRLHexStringFromUUIDBytes(reinterpret_cast<const uchar*>(uuid.constData())));
    EXPECT_EQ(self->instanceIdentifier().size(), 40);
    EXPECT_EQ(self->builtSDKString(), TRLElfBuiltLibraryVersion());
    EXPECT_NE(self->architectureUUIDMap().firstKey(), "unknown");
}

TEST(TrellisModelTest, HelpersAndUrls) {
    TRLSetInfoDictionary(QVariantMap{{"CFBundleIdentifier", "a/b"}, {"CFBundleVersion", "7"},
                                     {"Trellis", QVariantMap{{"ReportIdentifiers", false}}}, {"FaultlineCollectDeviceIdentifiers", true}});
    EXPECT_EQ(TRLEscapedBundleIdentifier(), "a_b");
    EXPECT_EQ(TRLBundleDisplayName(), "7");
    EXPECT_FALSE(TRLShouldCollectDeviceIdentifiers());
    EXPECT_EQ(TRLInstallSource(), 1);
    TRLSetInfoDictionary(QVariantMap{{"FaultlineSignedForDistribution", true}});
    EXPECT_TRUE(TRLShouldCollectDeviceIdentifiers());
    EXPECT_EQ(TRLInstallSource(), 3);
    TRLSetInfoDictionary(std::nullopt);
    EXPECT_EQ(TRLSHA1HexDigest("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(TRLSHA1HexDigest(nullptr, 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(TRLSHA1HexDigestOfData(QByteArray(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(TRLGenerateUUIDString().size(), 36);
    EXPECT_TRUE(TRLOSDisplayVersion().contains('.'));
    EXPECT_FALSE(TRLHardwareModel().isEmpty());
    EXPECT_FALSE(TRLSysctlString("kernel.osrelease").isEmpty());
    EXPECT_TRUE(TRLSysctlString("../../etc/passwd").isEmpty());

    TRLURLBuilder b = TRLURLBuilder::URLWithBase("https://h.example");
    b.appendComponent("/apps/");
    b.escapeAndAppendComponent("a b");
    b.appendValue(QVariant(), "skipped");
    b.appendValue(4, "n");
    b.appendValue("x&y=z+w#v%41 é", "q");
    EXPECT_EQ(b.URLString(), "https://h.example/apps/a%20b?n=4&q=x%26y%3Dz%2Bw%23v%2541%20%C3%A9");
    EXPECT_EQ(b.URL().query(QUrl::FullyDecoded), "n=4&q=x&y=z+w#v%41 é");
    EXPECT_TRUE(TRLURLBuilder::URLWithBase("http://[bad").URL().isEmpty());
    // A path piece stays one piece of the path, whatever it holds.
    for (const QString& piece : {QString("a?b=c"), QString("a#b"), QString("100%25"), QString("x/y z")}) {
        TRLURLBuilder p = TRLURLBuilder::URLWithBase("https://h.example");
        p.appendComponent("/apps/");
        p.escapeAndAppendComponent(piece);
        p.appendComponent("/settings");
        EXPECT_EQ(p.URL().path(QUrl::FullyDecoded), "/apps/" + piece + "/settings") << piece.toStdString();
        EXPECT_FALSE(p.URL().hasQuery() || p.URL().hasFragment()) << piece.toStdString();
    }
}

// The launch makes the kits' network clients before its first paint; their pinned roots are
// parsed only when a request needs them, once per set however often it is copied or applied.
TEST(TrellisModelTest, PinnedRootsAreParsedOnlyWhenARequestNeedsThem) {
    struct Row {
        const char* what;
        QByteArray pem;
        bool empty;
    };
    const Row rows[] = {
        {"the built-in roots", TRLCertificatePinner::pinnedCertificates(), false},
        {"no text", QByteArray(), true},
        {"text without a certificate", QByteArray("-----BEGIN CERTIFICATE-----\nnot one\n-----END CERTIFICATE-----\n"), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const quint64 before = TRLCertificatePinner::certificateCounts();
        const std::shared_ptr<TRLNetworkClient> client = TRLNetworkClient::make(nullptr, row.pem);
        ASSERT_TRUE(client->certPinner().has_value());
        const TRLCertificatePinner copy = *client->certPinner();
        EXPECT_EQ(TRLCertificatePinner::certificateCounts(), before);
        HttpRequest first, second;
        copy.applyTo(first);
        client->certPinner()->applyTo(second);
        EXPECT_EQ(copy.isEmpty(), row.empty);
        EXPECT_EQ(TRLCertificatePinner::certificateCounts(), before + 1);
        EXPECT_EQ(first.pinnedRootsPem, row.empty ? QByteArray("no pinned roots") : row.pem);
        EXPECT_EQ(second.pinnedRootsPem, first.pinnedRootsPem);
    }
}

TEST(TrellisModelTest, ResponsesAreClassifiedAndBackOffStaysBounded) {
    auto response = [](int status, HttpHeaders headers = {}) {
        HttpResponse r;
        r.status = status;
        r.headers = headers;
        return r;
    };
    struct Row {
        int status;
        int type;
    } rows[] = {{200, 0}, {204, 0}, {304, 0}, {203, 1}, {302, 1}, {100, 1}, {0, 1}, {401, 2}, {422, 2}, {431, 2},
                {418, 1}, {408, 3}, {500, 3}, {503, 3}, {599, 3}, {429, 4}, {420, 4}};
    for (const Row& row : rows)
        TRLNetworkResponseHandler::clientResponseType(response(row.status), [&](TRLNetworkClientResponseType type, int status) {
            EXPECT_EQ(int(type), row.type) << row.status;
            EXPECT_EQ(status, row.status);
        });

    HttpRequest json;
    json.headers = {{"Accept", "application/json"}, {"Accept-Charset", "utf-8"}};
    struct Type {
        QByteArray contentType;
        bool matches;
    } types[] = {{"application/json", true},
                 {"Application/JSON; charset=UTF-8", true},
                 {"application/json;charset=utf-8", true},
                 {"application/json; Charset=\"utf-8\"", true},
                 {"application/json; charset=latin1", false},
                 {"text/html", false},
                 {"application/jsonx", false},
                 {"", false}};
    for (const Type& t : types) {
        HttpResponse r = response(200, t.contentType.isEmpty() ? HttpHeaders{} : HttpHeaders{{"Content-Type", t.contentType}});
        EXPECT_EQ(TRLNetworkResponseHandler::contentTypeMatchesRequest(r, json), t.matches) << t.contentType.constData();
    }
    QVError error;
    bool retry = true;
    TRLNetworkResponseHandler::handleCompletedResponse(response(200, {{"Content-Type", "text/html"}}), json, [&](bool r, const QVError& e) {
        retry = r;
        error = e;
    });
    EXPECT_FALSE(retry);
    EXPECT_EQ(error.code(), -4);
    EXPECT_EQ(error.userInfoValue("request_id").toString(), "");
    EXPECT_EQ(error.userInfoValue("content_type").toString(), "text/html");

    // Retry-After in either form; garbage, negative, zero and huge stay within bounds.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QByteArray inTen = QLocale::c().toString(now.addSecs(10), "ddd, dd MMM yyyy HH:mm:ss 'GMT'").toLatin1();
    struct Hint {
        QByteArray value;
        double minSeconds, maxSeconds;  // first-retry delay bounds
    } hints[] = {{"", 1.8, 2.2},      {"10", 9, 11},    {"-5", 1.8, 2.2},     {"garbage", 1.8, 2.2}, {"0", 1.8, 2.2},
                 {inTen, 7.2, 11.1}, {"1e300", 3240, 3960}, {"99999999999", 3240, 3960}};
    for (const Hint& h : hints) {
        const HttpResponse r = response(503, h.value.isEmpty() ? HttpHeaders{} : HttpHeaders{{"Retry-After", h.value}});
        for (double jitter : {0.9, 1.0999}) {
            const double s = double(TRLNetworkResponseHandler::computeDelayMs(r, 0, jitter)) / 1000;
            EXPECT_GE(s, h.minSeconds) << h.value.constData();
            EXPECT_LE(s, h.maxSeconds) << h.value.constData();
        }
    }
    // Without a hint the delay doubles per try and stops growing at five minutes.
    EXPECT_EQ(TRLNetworkResponseHandler::computeDelayMs(response(503), 3, 1.0), 8000);
    EXPECT_EQ(TRLNetworkResponseHandler::computeDelayMs(response(503), 1000000, 1.0), 300000);
    EXPECT_EQ(TRLNetworkResponseHandler::computeDelayMs(response(503, {{"Retry-After", "30"}}), 40, 1.0), 30000);
}

class Recorded : public TRLNetworkOperation {
public:
    Recorded() : TRLNetworkOperation("key") {}
    bool ranMain = false;

protected:
    void main() override {
        ranMain = true;
        finishWithError({});
    }
};

TEST(TrellisModelTest, OperationsAndTheirRequests) {
    // Cancelled before start: finished without running main.
    Recorded cancelled;
    cancelled.cancel();
    cancelled.start();
    EXPECT_TRUE(cancelled.isFinished());
    EXPECT_FALSE(cancelled.isExecuting() || cancelled.ranMain);
    Recorded plain;
    plain.start();
    EXPECT_TRUE(plain.ranMain && plain.isFinished());

    const HttpRequest r = plain.mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(QUrl("https://h.example/x"));
    EXPECT_EQ(r.headers.size(), 9);
    EXPECT_EQ(r.idleTimeoutMs, 10000);
    QMap<QByteArray, QByteArray> h;
    for (const auto& [k, v] : r.headers) h.insert(k, v);
    EXPECT_EQ(h["Accept-Language"], h["Content-Language"]);
    EXPECT_EQ(h["User-Agent"], "com.qorvel.kits.sdk/1.6.11 (60)");
    EXPECT_EQ(h["X-Faultline-API-Key"], "key");
    EXPECT_EQ(h["X-Faultline-Developer-Token"].size(), 40);
}

class ShortDevice : public QIODevice {
public:
    explicit ShortDevice(qint64 room) : _room(room) {}
    QByteArray got;

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 length) override {
        const qint64 n = std::min(length, _room - qint64(got.size()));
        got.append(data, n);
        return n;
    }

private:
    qint64 _room;
};

TEST(TrellisModelTest, MultipartBodiesAndTheirFailures) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    TRLMultipartMimeStreamEncoder empty(&buffer);
    EXPECT_TRUE(empty.encode({}));
    EXPECT_EQ(empty.length(), 61u);
    EXPECT_EQ(bytes.size(), 61);

    LogCapture log;
    bytes.clear();
    TRLMultipartMimeStreamEncoder e(&buffer, "B");
    TestDir dir;
    const QString emptyFile = dir.write("empty", "");
    ASSERT_TRUE(e.encode([&] {
        e.addValue(4, "n");
        e.addValue(QVariant(), "skipped");
        e.addValue("v", "");
        e.addFileData(QByteArray("\x00\x01", 2), "f.bin", {}, "file");
        e.addFileData("png", "icon.png", "image/png", "icon");
        e.addFile(emptyFile, "e", {}, "e");
        e.addFile(dir.file("absent"), "a", {}, "a");
        e.addFileData("x", "", {}, "nameless");
    }));
    QByteArray expected = "MIME-Version: 1.0\r\n"
                          "--B\r\nContent-Disposition: form-data; name=\"n\"\r\nContent-Type: text/plain\r\n\r\n4\r\n"
                          "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    expected += QByteArray("\x00\x01", 2);
    expected += "\r\n--B\r\nContent-Disposition: form-data; name=\"icon\"; filename=\"icon.png\"\r\nContent-Type: image/png\r\n"
                "Content-Transfer-Encoding: binary\r\n\r\npng\r\n--B--\r\n";
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(e.contentLengthHTTPHeaderValue().toLongLong(), bytes.size());
    EXPECT_EQ(e.contentTypeHTTPHeaderValue(), "multipart/form-data; boundary=B");
    EXPECT_TRUE(log.contains("[Trellis] Unable to MIME encode data with zero length (e)"));
    EXPECT_TRUE(log.contains("[Trellis] name (nameless) or fieldname () is invalid"));

    // A device that stops taking bytes fails the encoding; what was not taken is not counted.
    ShortDevice device(100);
    device.open(QIODevice::WriteOnly);
    TRLMultipartMimeStreamEncoder shortWrite(&device, "B");
    EXPECT_FALSE(shortWrite.encode([&] { shortWrite.addFileData(QByteArray(1000, 'x'), "f", {}, "f"); }));
    EXPECT_TRUE(shortWrite.failed());
    EXPECT_LE(shortWrite.length(), 100u);
    EXPECT_NE(TRLMultipartMimeStreamEncoder::generateBoundary(), TRLMultipartMimeStreamEncoder::generateBoundary());
}

TEST(TrellisModelTest, SettingsCacheReadsOnlyWhatHasTheRightType) {
    TestDir dir;
    LogCapture log;
    struct Row {
        QByteArray json;
        bool present;
        QString status;
        bool onboarding, update;
        bool fileKept;
        QStringList said;  // why what came was ignored, each said once
    } rows[] = {
        {R"({"app":{"status":"new","update_required":true}})", true, "new", true, true, true},
        {R"({"app":{"status":"activated","update_required":false}})", true, "activated", false, false, true},
        {R"({"app":null})", true, "", false, false, true},
        {R"({"app":{"status":null,"update_required":"yes"}})", true, "", false, false, true,
         {R"([Trellis] Settings value "app.update_required" ignored: it should be true or false, not the text "yes")"}},
        {R"({"app":["status","new"]})", true, "", false, false, true, {R"([Trellis] Settings value "app" ignored: it should be an object, not a list)"}},
        {R"({"app":{"status":7,"update_required":1}})", true, "", false, false, true,
         {R"([Trellis] Settings value "app.status" ignored: it should be text, not the number 7)",
          R"([Trellis] Settings value "app.update_required" ignored: it should be true or false, not the number 1)"}},
        {R"(["app"])", false, "", false, false, true, {"[Trellis] Settings ignored: the document is a JSON array, not an object"}},
        {R"({"app":{"status":"new")", false, "", false, false, false},
    };
    for (const Row& row : rows) {
        const QString path = dir.write("settings.json", row.json);
        log.clear();
        for (int pass = 0; pass < 2; ++pass) {
            TRLSettings s(path);
            EXPECT_EQ(s.settingsDictionary().has_value(), row.present) << row.json.constData();
            EXPECT_EQ(s.appStatus(), row.status) << row.json.constData();
            EXPECT_EQ(s.appNeedsOnboarding(), row.onboarding) << row.json.constData();
            EXPECT_EQ(s.appUpdateRequired(), row.update) << row.json.constData();
            EXPECT_EQ(QFile::exists(path), row.fileKept) << row.json.constData();
        }
        QStringList said = log.lines().filter("Settings ");
        said.sort();
        QStringList expected = row.said;
        expected.sort();
        EXPECT_EQ(said, expected) << row.json.constData();
    }
    EXPECT_EQ(log.lines().filter("[Trellis] Could not load settings with error:").size(), 1);
    TRLSettings missing(dir.file("settings.json"));
    EXPECT_FALSE(missing.settingsDictionary());
    // A cached document stays until cleared.
    const QString path = dir.write("settings.json", R"({"app":{"status":"new"}})");
    TRLSettings cached(path);
    EXPECT_TRUE(cached.appNeedsOnboarding());
    dir.write("settings.json", R"({"app":{"status":"known"}})");
    EXPECT_TRUE(cached.appNeedsOnboarding());
    cached.clearSettingsDictionary();
    EXPECT_FALSE(cached.appNeedsOnboarding());

    TRLSetInfoDictionary(QVariantMap{{"CFBundleIdentifier", "com.qorvel.Qorvel"}, {"CFBundleVersion", "12"}});
    EXPECT_EQ(cached.settingsURLForEndpoint("https://s.example", "abc", {}).toString(),
              "https://s.example/spi/v2/platforms/mac/apps/com.qorvel.Qorvel/settings?build_version=12&instance=abc&source=1");
    TRLSetInfoDictionary(std::nullopt);
}

TEST(TrellisModelTest, DefaultsStoreSurvivesCorruptionFoldersAndKills) {
    TestDir dir;
    LogCapture log;
    const QString folder = dir.file("store");
    {
        FLTUserDefaults d(folder);
        d.setObject(QStringLiteral("v"), "s");
        d.setBool(true, "b");
        d.setObject(QVariant(), "s");
        EXPECT_FALSE(d.objectForKey("s").isValid());
        d.setString("text", "t");
        EXPECT_FALSE(d.boolForKey("t"));
        EXPECT_TRUE(d.boolForKey("b"));
        ASSERT_TRUE(d.synchronize());
    }
    EXPECT_EQ(FLTUserDefaults(folder).dictionaryRepresentation(), (QVariantMap{{"b", true}, {"t", "text"}}));

    // A damaged file is set aside, not overwritten; a folder in its place is removed.
    dir.write("store/FLTUserDefaults.plist", "<plist><dict><key>x");
    EXPECT_TRUE(FLTUserDefaults(folder).dictionaryRepresentation().isEmpty());
    EXPECT_TRUE(QFile::exists(folder + "/FLTUserDefaults.plist.bad"));
    EXPECT_TRUE(log.contains("[Trellis:UserDefaults] failed to read existing UserDefaults file"));
    QFile::remove(folder + "/FLTUserDefaults.plist");
    QDir().mkpath(folder + "/FLTUserDefaults.plist/inner");
    EXPECT_TRUE(FLTUserDefaults(folder).dictionaryRepresentation().isEmpty());
    EXPECT_FALSE(QFileInfo(folder + "/FLTUserDefaults.plist").isDir());

    // An unwritable folder fails synchronize with a log line; the values stay in memory.
    FLTUserDefaults blocked(dir.write("blocker", "file") + "/sub");
    blocked.setString("x", "k");
    EXPECT_FALSE(blocked.synchronize());
    EXPECT_EQ(blocked.stringForKey("k"), "x");

    // Killed mid-write, the file holds the old values or the new ones, never a part.
    FLTUserDefaults stable(folder);
    stable.setString("old", "generation");
    ASSERT_TRUE(stable.synchronize());
    for (int round = 0; round < 4; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            FLTUserDefaults d(folder);
            for (int i = 0;; ++i) {
                d.setString(QString("new %1 ").arg(i) + QString(200000, 'x'), "generation");
                d.synchronize();
            }
        }
        usleep(useconds_t(30000 + round * 17000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        const QString generation = FLTUserDefaults(folder).stringForKey("generation");
        EXPECT_TRUE(generation == "old" || generation.startsWith("new ")) << round;
    }

    // Values only in the application's defaults move over once, and are gone there.
    UserDefaults::standard().setString("legacy", "moved");
    FLTUserDefaults fresh(dir.file("fresh"));
    EXPECT_EQ(fresh.objectForKeyByMigratingFromNSUserDefaults("moved").toString(), "legacy");
    EXPECT_FALSE(UserDefaults::standard().objectForKey("moved").isValid());
    EXPECT_EQ(FLTUserDefaults(dir.file("fresh")).stringForKey("moved"), "legacy");
}

struct FakeKit : TRLKit {
    FakeKit(QString n, QStringList* log) : name(std::move(n)), started(log) {}
    QString kitName() const override { return name; }
    QString bundleIdentifier() const override { return "com.example." + name; }
    QString kitDisplayVersion() const override { return "2.0"; }
    void initializeIfNeeded() override { started->append(name); }
    QString name;
    QStringList* started;
};

TEST(TrellisModelTest, OneStartKeptIdentityAndBrokenConfigurations) {
    QStringList started;
    TRLKitRegistry::clear();
    TRLKitRegistry::registerKit(std::make_shared<FakeKit>("Faultline", &started));
    TRLKitRegistry::registerKit(std::make_shared<FakeKit>("Tidings", &started));
    TRLKitRegistry::registerOther("NotAKit");
    LogCapture log;
    // No endpoints: the start sends nothing.
    TRLSetInfoDictionary(QVariantMap{{"CFBundleIdentifier", "com.qorvel.Qorvel"},
                                     {"Trellis", QVariantMap{{"APIKey", "key"},
                                                             {"Kits", QVariantList{QVariantMap{{"KitName", "Faultline"}}, QVariantMap{{"KitName", "Tidings"}, {"KitInfo", QVariantMap{{"a", 1}}}}}}}}});
    Trellis::resetSharedForTests();
    FLTUserDefaults::resetStandardUserDefaults();
    auto faultline = TRLKitRegistry::kit("Faultline");
    Trellis& t = Trellis::with({faultline});
    EXPECT_EQ(t.kitClasses(), (QStringList{"Faultline", "Tidings"}));
    EXPECT_EQ(started, (QStringList{"Faultline", "Tidings"}));
    EXPECT_EQ(t.configurationDictionaryForKitClass("Faultline"), QVariantMap());
    EXPECT_EQ(t.configurationDictionaryForKitClass("Tidings"), (QVariantMap{{"a", 1}}));
    EXPECT_FALSE(t.configurationDictionaryForKitClass("Other"));
    EXPECT_EQ(t.kitVersionsByKitBundleIdentifier().last().second, "1.6.11");
    Trellis::with({"Faultline"});
    EXPECT_TRUE(log.containsMatch(".*called multiple times.*"));
    EXPECT_EQ(started.size(), 2);

    // The installation UUID is made once and survives a relaunch; the run identifier does not.
    const QString install = t.installID();
    EXPECT_TRUE(t.isFirstInstall());
    EXPECT_EQ(t.executionIdentifier().size(), 32);
    FLTUserDefaults::resetStandardUserDefaults();
    Trellis relaunched(FLTUserDefaults::standardUserDefaults());
    EXPECT_EQ(relaunched.installID(), install);
    EXPECT_FALSE(relaunched.isFirstInstall());
    EXPECT_NE(relaunched.executionIdentifier(), t.executionIdentifier());
    EXPECT_EQ(relaunched.instanceIdentifier().size(), 40);

    // Broken configurations raise from with(); the launch logs them instead.
    struct Broken {
        QVariantMap info;
        QList<TRLKitReference> kits;
        QString reason;
    } broken[] = {
        {{}, {"Faultline"}, "[Trellis] Cannot find Info.plist."},
        {{{"CFBundleIdentifier", "x"}}, {"Faultline"}, "[Trellis] Value of Info.plist key \"Trellis\" must be a NSDictionary."},
        {{{"Trellis", QVariantMap{{"Kits", QVariantList{}}}}}, {"Faultline"}, "[Trellis] Value of Info.plist[Trellis][APIKey] must contain your Trellis API Key."},
        {{{"Trellis", QVariantMap{{"APIKey", "k"}}}}, {"NotAKit"},
         "[Trellis] It appears that \"NotAKit\" is not a valid Trellis Kit. Please make sure you only pass Trellis Kits to [Trellis with:]."},
    };
    for (const Broken& b : broken) {
        TRLSetInfoDictionary(b.info);
        Trellis::resetSharedForTests();
        QString reason;
        try {
            Trellis::with(b.kits);
        } catch (const TRLException& e) {
            reason = e.reason();
        }
        EXPECT_EQ(reason, b.reason);
        Trellis::resetSharedForTests();
        log.clear();
        EXPECT_FALSE(Trellis::startFromLaunch(b.kits));
        EXPECT_TRUE(log.contains("[Trellis] TRLException: " + b.reason));
    }
    // The shipped Info.plist names the crash kit with an empty key: the kits start (capture
    // must run), only the conversation with the service waits for a key.
    TRLSetInfoDictionary(std::nullopt);
    Trellis::resetSharedForTests();
    EXPECT_TRUE(Trellis::startFromLaunch({"Faultline"}));
    TRLKitRegistry::clear();
}

}  // namespace

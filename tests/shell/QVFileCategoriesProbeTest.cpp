// The file-category probe against real files and the real "file" program: content answers,
// the caching rule, time-outs, and lookups from many threads while the categories change.
#include "shell/QVFileCategories.h"

#include "platform/PropertyList.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

namespace {

QVariantMap webStore() {
    return {
        {QStringLiteral("Text"),
         QVariantMap{{QStringLiteral("Text"),
                      QVariantMap{{QStringLiteral("types"), QStringList{"txt", "html"}}}}}},
        {QStringLiteral("Image"),
         QVariantMap{{QStringLiteral("Images"),
                      QVariantMap{{QStringLiteral("types"), QStringList{"png", "gif", "odd"}}}}}},
        {QStringLiteral("Ignorable"), QVariantList{QStringLiteral("swp")}},
    };
}

QString writePng(const TestDir& dir, const QString& name) {
    QImage image(8, 8, QImage::Format_ARGB32);
    image.fill(Qt::red);
    const QString path = dir.file(name);
    EXPECT_TRUE(image.save(path, "PNG"));
    return path;
}

QString writeScript(const TestDir& dir, const QString& name, const QByteArray& body) {
    const QString path = dir.write(name, "#!/bin/sh\n" + body);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

struct ProbeFixture {
    TestDir dir;
    std::shared_ptr<QVFileCategories> model;
    QString log = dir.file(QStringLiteral("probe.log"));

    ProbeFixture() {
        const QString store = dir.file(QStringLiteral("store.plist"));
        EXPECT_TRUE(PropertyList::writeFile(webStore(), store, PlistFormat::XML));
        model = QVFileCategories::create(store, dir.file(QStringLiteral("out.plist")));
        // The real program behind a wrapper that counts its runs.
        model->setProbeProgram(writeScript(
            dir, QStringLiteral("counting-file"),
            "echo run >> '" + log.toUtf8() + "'\nexec /usr/bin/file \"$@\"\n"));
    }
    int runs() const { return int(readAll(log).count('\n')); }
};

}  // namespace

TEST(QVFileCategoriesProbe, RealFilesAreJudgedByTheirContent) {
    ProbeFixture f;
    QVFileCategories& model = *f.model;
    const QString pngAsText = writePng(f.dir, QStringLiteral("picture.txt"));
    const QString readme = f.dir.write(QStringLiteral("README"), "Plain words for people.\n");
    QByteArray noise;
    for (int i = 0; i < 4096; ++i) noise.append(char((i * 131 + 7) % 256));
    const QString binary = f.dir.write(QStringLiteral("blob.dat"), noise);
    const QString empty = f.dir.write(QStringLiteral("nothing.new"), QByteArray());
    const QString dashed = writePng(f.dir, QStringLiteral("-n.dat"));  // not taken for an option
    const QString link = f.dir.file(QStringLiteral("link.dat"));
    ASSERT_TRUE(QFile::link(pngAsText, link));
    const QString utf8 = f.dir.write(QStringLiteral("unicode.new"), "caf\xc3\xa9 \xe2\x82\xac\n");

    const struct {
        QString path;
        bool text, image, other;
    } rows[] = {
        {pngAsText, true, true, false},  // text by its extension; an image by its content
        {readme, true, false, false},    // no extension: never Other
        {binary, false, false, true},    // Other goes by the extension alone
        {empty, true, false, true},      // "empty" counts as text
        {dashed, false, true, true},
        {link, false, true, true},       // a link is what it points to
        {utf8, true, false, true},
        {f.dir.file(QStringLiteral("missing.new")), false, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path.toStdString());
        EXPECT_EQ(model.path(row.path, QVFileCategoryKindText), row.text);
        EXPECT_EQ(model.path(row.path, QVFileCategoryKindImage), row.image);
        EXPECT_EQ(model.path(row.path, QVFileCategoryKindOther), row.other);
        EXPECT_FALSE(model.path(row.path, QVFileCategoryKindIgnorable));
    }
    EXPECT_FALSE(model.pathIsText(pngAsText));
    EXPECT_TRUE(model.usrBinFileForPath(pngAsText)->contains(QLatin1String("PNG image")));
    EXPECT_FALSE(model.usrBinFileForPath(QString()));
    EXPECT_FALSE(model.usrBinFileForPath(f.dir.file(QStringLiteral("missing.new"))))
        << "a failure is no description (it would name the path)";
    EXPECT_TRUE(model.path(f.dir.file(QStringLiteral("x.swp")), QVFileCategoryKindIgnorable));
}

TEST(QVFileCategoriesProbe, OnlyAnswersThatAgreeWithTheExtensionAreRemembered) {
    ProbeFixture f;
    QVFileCategories& model = *f.model;
    const QString pngAsText = writePng(f.dir, QStringLiteral("picture.txt"));
    const QString text1 = f.dir.write(QStringLiteral("one.txt"), "words\n");
    const QString text2 = f.dir.write(QStringLiteral("two.txt"), "more words\n");
    const QString png1 = writePng(f.dir, QStringLiteral("a.png"));
    const QString png2 = writePng(f.dir, QStringLiteral("b.png"));
    const QString unknown1 = f.dir.write(QStringLiteral("one.foo"), "words\n");
    const QString unknown2 = f.dir.write(QStringLiteral("two.foo"), "words\n");
    const QString textAsImage = f.dir.write(QStringLiteral("words.gif"), "not a picture\n");

    // A PNG named .txt is an image, but that says nothing of other .txt files.
    EXPECT_TRUE(model.path(pngAsText, QVFileCategoryKindImage));
    EXPECT_EQ(f.runs(), 1);
    EXPECT_TRUE(model.path(pngAsText, QVFileCategoryKindImage));
    EXPECT_EQ(f.runs(), 2) << "a disagreeing answer is not remembered";

    // A real text file agrees with .txt not being an image: remembered for the extension.
    EXPECT_FALSE(model.path(text1, QVFileCategoryKindImage));
    EXPECT_EQ(f.runs(), 3);
    EXPECT_FALSE(model.path(text2, QVFileCategoryKindImage));
    EXPECT_EQ(f.runs(), 3);

    // Same for images asked whether they are text.
    EXPECT_FALSE(model.path(png1, QVFileCategoryKindText));
    EXPECT_FALSE(model.path(png2, QVFileCategoryKindText));
    EXPECT_EQ(f.runs(), 4);

    // A text file named .gif disagrees: probed each time, and each time found not an image.
    EXPECT_TRUE(model.path(textAsImage, QVFileCategoryKindImage)) << "an image by extension";
    EXPECT_TRUE(model.pathIsText(textAsImage));
    EXPECT_TRUE(model.pathIsText(textAsImage));
    EXPECT_EQ(f.runs(), 6);

    // An extension of no category has nothing to agree with: probed every time.
    EXPECT_TRUE(model.path(unknown1, QVFileCategoryKindText));
    EXPECT_TRUE(model.path(unknown2, QVFileCategoryKindText));
    EXPECT_EQ(f.runs(), 8);

    // A remembered answer stops counting once the extension changes category.
    const auto images = model.categoryForTitle(QStringLiteral("Images"));
    const QString oddText = f.dir.write(QStringLiteral("c.odd"), "text after all\n");
    const QString oddBinary = writePng(f.dir, QStringLiteral("d.odd"));
    EXPECT_FALSE(model.pathIsText(oddBinary));
    EXPECT_EQ(f.runs(), 9);
    EXPECT_FALSE(model.pathIsText(oddBinary));
    EXPECT_EQ(f.runs(), 9) << "remembered: .odd is an image extension";
    ASSERT_TRUE(images->removeObjectFromTypes(QVFileCategoryType(QStringLiteral("odd"), images)));
    EXPECT_TRUE(model.path(oddText, QVFileCategoryKindText));
    EXPECT_EQ(f.runs(), 10);
}

TEST(QVFileCategoriesProbe, ASlowProbeTimesOutWithoutHoldingTheModel) {
    ProbeFixture f;
    QVFileCategories& model = *f.model;
    const QString marker = f.dir.file(QStringLiteral("started"));
    const QString ended = f.dir.file(QStringLiteral("ended"));
    model.setProbeProgram(writeScript(f.dir, QStringLiteral("slow-file"),
                                      ": > '" + marker.toUtf8() + "'\nsleep 30\n: > '" + ended.toUtf8() + "'\n"));
    model.setProbeTimeout(1500);
    const QString target = f.dir.write(QStringLiteral("page.png"), "hello\n");

    std::atomic<bool> finished{false};
    bool answer = true;
    const auto start = std::chrono::steady_clock::now();
    std::thread prober([&] {
        answer = model.path(target, QVFileCategoryKindText);
        finished = true;
    });
    while (!QFile::exists(marker) && std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(QFile::exists(marker));

    // While the probe runs, the model answers and accepts edits.
    EXPECT_TRUE(model.extension(QStringLiteral("txt"), QVFileCategoryKindText));
    const auto added = model.addCategoryWithTitle(QStringLiteral("Fresh"), QVFileCategoryKindText);
    added->addType(QStringLiteral("new"));
    EXPECT_TRUE(model.extension(QStringLiteral("new"), QVFileCategoryKindText));
    EXPECT_FALSE(finished.load()) << "the lookups did not wait for the probe";

    prober.join();
    EXPECT_FALSE(answer) << "no description: not text";
    // Ended by its time-out, not waited for to its end.
    EXPECT_FALSE(QFile::exists(ended));

    // A probe that timed out is not remembered: the real program answers the next time.
    model.setProbeProgram(QStringLiteral("/usr/bin/file"));
    const QString realPng = writePng(f.dir, QStringLiteral("real.png"));
    EXPECT_FALSE(model.pathIsText(realPng));
    model.setProbeProgram(writeScript(f.dir, QStringLiteral("missing-file"), "exit 3\n"));
    EXPECT_FALSE(model.pathIsText(f.dir.write(QStringLiteral("ok.png"), "text\n")))
        << "remembered from the real run";
    model.setProbeProgram(f.dir.file(QStringLiteral("no-such-program")));
    EXPECT_FALSE(model.pathIsText(f.dir.write(QStringLiteral("x.zzz"), "text\n")));
}

TEST(QVFileCategoriesProbe, LookupsFromManyThreadsWhileCategoriesAreEdited) {
    ProbeFixture f;
    QVFileCategories& model = *f.model;
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::atomic<long> lookups{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 6; ++t) {
        readers.emplace_back([&, t] {
            while (!stop) {
                // Never edited: these answers must hold throughout.
                if (!model.extension(QStringLiteral("html"), QVFileCategoryKindText)) ++wrong;
                if (!model.path(QStringLiteral("/x/a.png"), QVFileCategoryKindImage)) ++wrong;
                if (!model.extension(QStringLiteral("swp"), QVFileCategoryKindIgnorable)) ++wrong;
                // Edited: any answer, but a consistent model.
                model.extension(QStringLiteral("e%1").arg(t), QVFileCategoryKindOther);
                if (auto c = model.categoryForExtension(QStringLiteral("e1"))) c->typeTitles();
                model.typesForCategory(QStringLiteral("Edited"));
                model.plistRepresentation();
                for (const auto& c : model.textCategories()) c->title();
                ++lookups;
            }
        });
    }
    for (int round = 0; round < 300; ++round) {
        const auto edited = model.addCategoryWithTitle(QStringLiteral("Edited"), QVFileCategoryKindText);
        for (int i = 0; i < 6; ++i) edited->addType(QStringLiteral("e%1").arg(i));
        edited->replaceObjectInTypesAtIndex(0, QStringLiteral("e0"));
        edited->setTitle(QStringLiteral("edited"));
        model.addIgnorableType(QStringLiteral("e3"));
        if (round % 50 == 0) {
            EXPECT_TRUE(model.commit());
        }
        edited->removeObjectFromTypesAtIndex(1);
        model.removeIgnorableType(QStringLiteral("e3"));
        model.removeCategory(edited, QVFileCategoryKindText);
    }
    stop = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(lookups.load(), 0);
    for (int i = 0; i < 6; ++i)
        EXPECT_FALSE(model.categoryForExtension(QStringLiteral("e%1").arg(i))) << i;
    EXPECT_EQ(model.textCategories().size(), 1);
}

TEST(QVFileCategoriesProbe, SharedInstancesAreMadeOnceAcrossThreads) {
    std::vector<std::thread> threads;
    std::vector<QVFileCategories*> seen(8);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] { seen[i] = QVFileCategories::sharedCategories().get(); });
    for (std::thread& thread : threads) thread.join();
    for (QVFileCategories* model : seen) EXPECT_EQ(model, seen.front());
    EXPECT_TRUE(seen.front()->extension(QStringLiteral("html"), QVFileCategoryKindText));
}

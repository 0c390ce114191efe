// The document's edited state against the undo history, and saves and reverts that fail.
#include "platform/QVDocument.h"

#include "tests/support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cerrno>

namespace {

// A document whose content is a byte string; "?" in it stands for text a lossy save drops.
class ByteDocument : public QVDocument {
public:
    ByteDocument() { setUndoManager(undo); }
    void edit(const QByteArray& text, bool counts = true) {
        undo->beginUndoGrouping();
        undo->registerUndo(this, [this, old = content] { edit(old); });
        if (!counts) undo->setActionCountsAsChange(false);
        content = text;
        undo->endUndoGrouping();
    }
    std::shared_ptr<QVUndoManager> undo = std::make_shared<QVUndoManager>();
    QByteArray content;

protected:
    bool readFromFile(const QString& path, const QString&, QVError* error) override {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            qvSetError(error, QVError::posix(ENOENT, QStringLiteral("open"), path));
            return false;
        }
        undo->removeAllActions();
        content = file.readAll();
        return true;
    }
    std::optional<Contents> dataOfType(const QString&, QVError*) override {
        Contents contents{content, !content.contains('?'), {}};
        if (!contents.whole) contents.warning = QVError::app(16, QStringLiteral("lossy"));
        return contents;
    }
};

TEST(QVDocument, EditedStateFollowsTheUndoHistoryAndTheLastWriteOrRead) {
    // Steps: e<x> edit, u<x> uncounted edit, U undo, R redo, S save, L lossy save (content
    // gets "?"), F save into a missing folder, V revert, X revert from a missing file, D change
    // counted by hand. Each expects the edited state and the file's bytes after it.
    struct Step {
        const char* op;
        bool edited;
        const char* disk;
    };
    const std::vector<std::vector<Step>> runs = {
        {{"ea", true, "0"}, {"U", false, "0"}, {"R", true, "0"}, {"S", false, "a"}, {"U", true, "a"}, {"R", false, "a"}},
        {{"ea", true, "0"}, {"S", false, "a"}, {"eb", true, "a"}, {"U", false, "a"}, {"U", true, "a"}},
        {{"ua", false, "0"}, {"eb", true, "0"}, {"ub", true, "0"}, {"U", true, "0"}, {"U", false, "0"}},
        {{"ea", true, "0"}, {"F", true, "0"}, {"X", true, "0"}, {"U", false, "0"}},
        {{"ea", true, "0"}, {"V", false, "0"}, {"eb", true, "0"}, {"S", false, "b"}},
        {{"L", true, "?"}, {"S", true, "?"}, {"ea", true, "?"}, {"S", false, "a"}},
        {{"D", true, "0"}, {"ea", true, "0"}, {"U", true, "0"}, {"S", false, "0"}, {"ea", true, "0"}, {"V", false, "0"}},
    };
    for (size_t r = 0; r < runs.size(); ++r) {
        TestDir dir;
        const QString path = dir.write(QStringLiteral("f.txt"), "0");
        ByteDocument doc;
        doc.setFileName(path);
        ASSERT_TRUE(doc.revertToContentsOfFile());
        std::vector<bool> seen;
        doc.setEditedObserver([&](bool edited) { seen.push_back(edited); });
        bool last = false;
        for (size_t s = 0; s < runs[r].size(); ++s) {
            const Step& step = runs[r][s];
            SCOPED_TRACE(testing::Message() << "run " << r << " step " << s << " " << step.op);
            const QByteArray before = doc.content;
            const size_t flips = seen.size();
            const quint64 tokenBefore = doc.currentChangeToken();
            QVError error, warning;
            switch (step.op[0]) {
            case 'e': doc.edit(step.op + 1); break;
            case 'u': doc.edit(step.op + 1, false); break;
            case 'U': ASSERT_TRUE(doc.undo->undo()); break;
            case 'R': ASSERT_TRUE(doc.undo->redo()); break;
            case 'S': EXPECT_TRUE(doc.saveToFile({}, &error)); break;
            case 'L':
                doc.edit("?");
                EXPECT_TRUE(doc.saveToFile({}, &error, &warning));
                EXPECT_EQ(warning.code(), 16);
                break;
            case 'F':
                EXPECT_FALSE(doc.saveToFile(dir.file(QStringLiteral("none/f.txt")), &error));
                EXPECT_TRUE(error);
                EXPECT_EQ(doc.fileName(), path);
                break;
            case 'V': EXPECT_TRUE(doc.revertToContentsOfFile({}, &error)); break;
            case 'X':
                EXPECT_FALSE(doc.revertToContentsOfFile(dir.file(QStringLiteral("missing")), &error));
                EXPECT_TRUE(error);
                EXPECT_EQ(doc.content, before);
                EXPECT_EQ(doc.currentChangeToken(), tokenBefore);
                EXPECT_EQ(doc.fileName(), path);
                break;
            case 'D': doc.updateChangeCount(QVDocument::ChangeType::Done); break;
            }
            EXPECT_EQ(doc.isDocumentEdited(), step.edited);
            EXPECT_EQ(readAll(path), QByteArray(step.disk));
            // The observer hears each flip once.
            EXPECT_EQ(seen.size(), flips + (step.edited != last));
            if (step.edited != last && !seen.empty()) {
                EXPECT_EQ(seen.back(), step.edited);
            }
            last = step.edited;
        }
    }
}

}  // namespace

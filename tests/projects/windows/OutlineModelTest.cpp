// The project outline's model over a real folder: lazily fetched rows that follow changes
// without losing expansion or selection, drags that name live nodes only, and drops that never
// put a folder into itself.
#include "files/QVRootFile.h"
#include "projects/windows/QVProjectOutlineModel.h"
#include "projects/windows/QVProjectView.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QMimeData>
#include <QTest>

namespace {

// The rows the model shows, indented by depth, folders marked "/".
QString dump(QVProjectOutlineModel& model, const QModelIndex& parent = {}, int depth = 0) {
    QString text;
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, 0, parent);
        const auto node = model.nodeForIndex(index);
        text += QString(depth * 2, u' ') + node->name() + (node->isFolder() ? "/" : "") + "\n";
        text += dump(model, index, depth + 1);
    }
    return text;
}

}  // namespace

TEST(OutlineModel, RowsFollowTheTreeAndKeepExpansionAndSelection) {
    TestDir dir;
    dir.write("b.html", "b");
    dir.write("A/inner.css", "a");
    dir.write("c/deep/x.js", "x");
    auto root = QVRootFile::create(dir.path(), false);
    QVProjectOutlineModel model;
    QStringList shown;
    model.nodeShown = [&](const std::shared_ptr<QVFile>& node) { shown << node->name(); };
    model.setRoot(root);
    QVProjectView view;
    view.setModel(&model);
    view.resize(300, 400);
    view.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(dump(model), "A/\nb.html\nc/\n");
    const QModelIndex c = model.index(2, 0);
    view.expand(c);
    view.expand(model.index(0, 0, c));
    view.setCurrentIndex(model.index(0, 0, model.index(0, 0, c)));
    const QString before = "A/\nb.html\nc/\n  deep/\n    x.js\n";
    EXPECT_EQ(dump(model), before);
    EXPECT_EQ(shown, QStringList({"A", "b.html", "c", "deep", "x.js"}));
    const auto x = model.nodeForIndex(view.currentIndex());
    const auto deep = x->parent();
    const auto cNode = deep->parent();

    // Files come and go on disk: the rows follow, the expanded folders and the selection stay.
    dir.write("0first.txt", "0");
    dir.write("c/deep/w.js", "w");
    QFile::remove(dir.file("b.html"));
    root->refresh(true);
    for (const QVFile* node : std::initializer_list<const QVFile*>{root.get(), cNode.get(), deep.get()}) model.refreshNode(node);
    EXPECT_EQ(dump(model), "0first.txt\nA/\nc/\n  deep/\n    w.js\n    x.js\n");
    EXPECT_TRUE(view.isExpanded(model.indexForNode(cNode.get())) && view.isExpanded(model.indexForNode(deep.get())));
    EXPECT_EQ(model.nodeForIndex(view.currentIndex()), x);

    // A drag names its node while the outline shows it, in this process only.
    std::unique_ptr<QMimeData> drag(model.mimeData({model.indexForNode(x.get())}));
    ASSERT_TRUE(drag);
    EXPECT_EQ(model.draggedNode(drag.get()), x);
    EXPECT_EQ(drag->urls().value(0).toLocalFile(), x->path());
    QMimeData foreign;
    foreign.setData(QVProjectOutlineModel::NodeDragType,
                    QJsonDocument::fromJson(drag->data(QVProjectOutlineModel::NodeDragType)).toJson().replace(QByteArray::number(QCoreApplication::applicationPid()), "1"));
    EXPECT_FALSE(model.draggedNode(&foreign));

    // Drops: onto a file means its folder; never where the node is, into itself or below it.
    QStringList moves;
    model.moveNode = [&](const std::shared_ptr<QVFile>& node, const std::shared_ptr<QVFile>& folder) {
        moves << node->name() + ">" + folder->name();
        return true;
    };
    EXPECT_EQ(model.dropTarget(model.indexForNode(x.get())), deep);
    std::unique_ptr<QMimeData> dragC(model.mimeData({model.indexForNode(cNode.get())}));
    const struct {
        const char* what;
        QMimeData* data;
        QModelIndex onto;
        bool accepted;
    } drops[] = {
        {"folder onto itself", dragC.get(), model.indexForNode(cNode.get()), false},
        {"folder into its child", dragC.get(), model.indexForNode(deep.get()), false},
        {"folder onto a file below it", dragC.get(), model.indexForNode(x.get()), false},
        {"folder onto its own parent", dragC.get(), QModelIndex(), false},
        {"file onto its own folder", drag.get(), model.indexForNode(deep.get()), false},
        {"file onto another folder", drag.get(), model.index(1, 0), true},
        {"file onto the root", drag.get(), QModelIndex(), true},
        {"bytes from elsewhere", &foreign, QModelIndex(), false},
    };
    for (const auto& d : drops) {
        SCOPED_TRACE(d.what);
        EXPECT_EQ(model.canDropMimeData(d.data, Qt::MoveAction, -1, -1, d.onto), d.accepted);
        EXPECT_EQ(model.dropMimeData(d.data, Qt::MoveAction, -1, -1, d.onto), d.accepted);
    }
    EXPECT_EQ(moves, QStringList({"x.js>A", "x.js>" + root->name()}));

    // The node gone: its drag names nothing any more.
    QFile::remove(dir.file("c/deep/x.js"));
    deep->refresh(true);
    model.refreshNode(deep.get());
    EXPECT_FALSE(model.draggedNode(drag.get()));
    EXPECT_FALSE(model.dropMimeData(drag.get(), Qt::MoveAction, -1, -1, {}));
    EXPECT_EQ(dump(model), "0first.txt\nA/\nc/\n  deep/\n    w.js\n");
}

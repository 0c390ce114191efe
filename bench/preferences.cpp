// The Preferences window offscreen: a 50,000-keyword completion editor's search typed letter by
// letter beside a QSortFilterProxyModel prefix filter (a "^" expression) over the same keys, each
// key timed alone, both in turns; the window's close with 20 changed bundles (each saved whole,
// file by file atomically) beside python3's plistlib writing the same definitions the same way;
// and each pane of the window from its selection to its first paint. The program prints min,
// median, p99 and max per side and the ratios. It runs in a scratch home folder.
#include "QorvelSourceTree.h"
#include "completion/QVCodeCompletion.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "preferences/QVCompletionLangPanes.h"
#include "preferences/QVLanguagesPrefPane.h"
#include "preferences/QVPrefPane.h"
#include "preferences/QVPrefPanes.h"
#include "preferences/QVPreferences.h"
#include "platform/PropertyList.h"
#include "shell/Defaults.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

double seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double quantile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(q * double(values.size() - 1) + 0.5))];
}

void report(const char* what, const std::vector<double>& ours, const std::vector<double>& peer) {
    std::printf("%-34s ours  min %8.3f ms  median %8.3f ms  p99 %8.3f ms  max %8.3f ms\n", what, quantile(ours, 0) * 1e3,
                quantile(ours, 0.5) * 1e3, quantile(ours, 0.99) * 1e3, quantile(ours, 1) * 1e3);
    if (peer.empty()) return;
    std::printf("%-34s peer  min %8.3f ms  median %8.3f ms  p99 %8.3f ms  max %8.3f ms\n", "", quantile(peer, 0) * 1e3,
                quantile(peer, 0.5) * 1e3, quantile(peer, 0.99) * 1e3, quantile(peer, 1) * 1e3);
    std::printf("%-34s ratio median %.2f  p99 %.2f\n", "", quantile(ours, 0.5) / quantile(peer, 0.5), quantile(ours, 0.99) / quantile(peer, 0.99));
}

// The peer: reads the saved bundles' definitions once, then at each line on its input writes them
// all again as the save does (a hidden folder assembled file by file, each file written to a
// temporary, synced and renamed, the folder synced; the old copy moved aside, the new one moved
// in, the old one removed) and prints the seconds it took.
const char* const kPeerScript = R"(
import os, sys, time, shutil, plistlib
root, folders = sys.argv[1], sys.argv[2:]
data = []
for folder in folders:
    contents = os.path.join(folder, 'Contents')
    files = {}
    for name in sorted(os.listdir(contents)):
        if name.endswith('.plist'):
            with open(os.path.join(contents, name), 'rb') as f:
                files[name] = plistlib.load(f)
    data.append((os.path.join(root, os.path.basename(folder)), files))
def write(path, value):
    temp = path + '.tmp'
    with open(temp, 'wb') as f:
        f.write(plistlib.dumps(value, fmt=plistlib.FMT_BINARY))
        f.flush()
        os.fsync(f.fileno())
    os.replace(temp, path)
    d = os.open(os.path.dirname(path), os.O_RDONLY)
    os.fsync(d)
    os.close(d)
for line in sys.stdin:
    start = time.perf_counter()
    for target, files in data:
        assembling = target + '.saving'
        os.makedirs(os.path.join(assembling, 'Contents'))
        for name, value in files.items():
            write(os.path.join(assembling, 'Contents', name), value)
        backup = target + '.backup'
        had = os.path.exists(target)
        if had:
            os.rename(target, backup)
        os.rename(assembling, target)
        if had:
            shutil.rmtree(backup)
    print(time.perf_counter() - start, flush=True)
)";

// Twenty user bundles copied from the shipped ones, each its own language.
QStringList makeBenchBundles() {
    const QStringList sources{QStringLiteral("CSS"), QStringLiteral("HTML"), QStringLiteral("JavaScript"), QStringLiteral("PHP"),
                              QStringLiteral("XML")};
    QStringList titles;
    for (int i = 0; i < 20; ++i) {
        const QString title = QStringLiteral("Bench %1").arg(i + 1, 2, 10, QLatin1Char('0'));
        const QString from = QStringLiteral(QORVEL_SOURCE_RESOURCES "/Bundles/") + sources[i % sources.size()] + QStringLiteral(".qvbundle/Contents");
        const QString to = Defaults::appSupportPathForFile(QStringLiteral("Bundles")) + QLatin1Char('/') + title + QStringLiteral(".qvbundle/Contents");
        QDir().mkpath(to);
        for (const QString& name : QDir(from).entryList({QStringLiteral("*.plist")}, QDir::Files)) {
            QVariant plist = PropertyList::readFile(from + QLatin1Char('/') + name);
            QVariantMap map = plist.toMap();
            const QString suffix = QStringLiteral("bench%1").arg(i + 1);
            if (name == QLatin1String("Info.plist")) {
                map.insert(QStringLiteral("CFBundleIdentifier"), QStringLiteral("com.qorvel.bench.") + suffix);
                map.insert(QStringLiteral("CFBundleName"), title);
                map.insert(QStringLiteral("file-types"), QStringList{suffix});
                map.remove(QStringLiteral("file-categories"));
                plist = map;
            } else if (name == QLatin1String("syntax.plist")) {
                map.insert(QStringLiteral("format-id"), QStringLiteral("text.") + suffix);
                plist = map;
            }
            PropertyList::writeFile(plist, to + QLatin1Char('/') + name, PlistFormat::XML);
        }
        titles << title;
    }
    return titles;
}

}  // namespace

int main(int argc, char** argv) {
    // The offscreen platform says at every pane switch that it cannot pass size hints on.
    static const QtMessageHandler previous = qInstallMessageHandler(nullptr);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (!message.contains(QLatin1String("does not support"))) previous(type, context, message);
    });
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // A scratch home: the bench saves bundles and writes defaults.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + QStringLiteral("/.local/share")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/.config")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.path() + QStringLiteral("/.cache")));
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Glimbo"));
    Defaults::resetDefaults();
    QVCodeCompletion::registerFactories();
    QVPrefPanes::registerStandardPanes();
    const QStringList benchTitles = makeBenchBundles();

    // The keyword editor over 50,000 keys, and the peer over the same keys.
    QVLanguagesPrefPane languages(QStringLiteral("Languages"));
    languages.allowSelect();
    languages.startSession();
    std::shared_ptr<QVBundle> js;
    for (const auto& bundle : languages.bundles())
        if (bundle->title() == QLatin1String("JavaScript")) js = bundle;
    if (!js) return 1;
    QVariantList many;
    QStandardItemModel peerModel(50000, 1);
    for (int i = 0; i < 50000; ++i) {
        const QString key = QStringLiteral("kw%1").arg((i * 7919) % 50000, 5, 10, QLatin1Char('0'));
        many << QVariantMap{{QStringLiteral("key"), key}, {QStringLiteral("prototype"), QString()}};
    }
    std::dynamic_pointer_cast<QVCodeCompletion>(js->codeCompletion())->setEntries(many);
    languages.selectRow(js, 0);
    auto* editor = dynamic_cast<QVKeywordCodeCompletionLangPane*>(languages.currentPane());
    if (!editor) return 1;
    for (int i = 0; i < 50000; ++i) peerModel.setItem(i, 0, new QStandardItem(editor->model()->item(i, 0)->text()));
    QSortFilterProxyModel peer;
    peer.setSourceModel(&peerModel);
    const QString typed = QStringLiteral("kw4999");
    std::vector<double> ours, theirs;
    for (int round = 0; round < 40; ++round) {
        for (int length = 1; length <= typed.size(); ++length) {
            const QString prefix = typed.left(length);
            const auto oursKey = [&] { ours.push_back(seconds([&] { editor->search(prefix); (void)editor->filter()->rowCount(); })); };
            const auto peerKey = [&] {
                theirs.push_back(seconds([&] {
                    peer.setFilterRegularExpression(QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(prefix)));
                    (void)peer.rowCount();
                }));
            };
            if ((round + length) % 2) { oursKey(); peerKey(); } else { peerKey(); oursKey(); }
        }
        editor->search({});
        peer.setFilterRegularExpression(QRegularExpression());
    }
    report("search per key (50,000 keywords)", ours, theirs);

    // The close with 20 changed bundles; the first save (which also reads what was deferred) is
    // not counted, and gives the peer its files.
    QList<std::shared_ptr<QVBundle>> changed;
    for (const auto& bundle : languages.bundles())
        if (benchTitles.contains(bundle->title())) changed << bundle;
    if (changed.size() != 20) return 1;
    const auto closeWindow = [&] {
        for (const auto& bundle : std::as_const(changed)) languages.bundleDidChange(bundle);
        const double took = seconds([&] { languages.endSession(); });
        languages.startSession();
        return took;
    };
    closeWindow();
    if (!languages.changedBundles().empty()) return 1;  // a save failed
    QStringList arguments{QStringLiteral("-c"), QString::fromLatin1(kPeerScript), home.path() + QStringLiteral("/peer")};
    QDir().mkpath(arguments.last());
    for (const auto& bundle : std::as_const(changed)) arguments << bundle->path();
    QProcess python;
    python.start(QStringLiteral("python3"), arguments);
    std::vector<double> saves, peerSaves;
    const auto peerClose = [&] {
        python.write("go\n");
        while (!python.canReadLine())
            if (!python.waitForReadyRead(60000)) return false;
        peerSaves.push_back(python.readLine().trimmed().toDouble());
        return true;
    };
    if (!python.waitForStarted() || !peerClose()) {
        std::printf("python3 with plistlib did not run\n");
        return 1;
    }
    peerSaves.clear();
    for (int round = 0; round < 12; ++round) {
        if (round % 2) {
            saves.push_back(closeWindow());
            if (!peerClose()) return 1;
        } else {
            if (!peerClose()) return 1;
            saves.push_back(closeWindow());
        }
    }
    python.closeWriteChannel();
    python.waitForFinished();
    report("close, 20 changed bundles", saves, peerSaves);

    // Each pane from its selection to its first paint (views built once, at the first round).
    QVPreferences window;
    window.showWindow();
    for (int i = 0; i < int(window.panes().size()); ++i) {
        std::vector<double> times;
        for (int round = 0; round < 5; ++round) {
            window.changePane(-1);
            times.push_back(seconds([&] {
                window.changePane(i);
                (void)window.grab();
            }));
        }
        report(("pane " + window.panes()[i]->displayName().toStdString()).c_str(), times, {});
    }
    window.close();
    return 0;
}

// The Preferences window offscreen: a 50,000-keyword completion editor's search typed letter by
// letter beside a QSortFilterProxyModel prefix filter (a "^" expression) over the same keys, each
// key timed alone, both in turns; and each pane of the window from its selection to its first
// paint. The program prints min, median, p99 and max per side and the ratios.
#include "completion/QVCodeCompletion.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "preferences/QVCompletionLangPanes.h"
#include "preferences/QVLanguagesPrefPane.h"
#include "preferences/QVPrefPane.h"
#include "preferences/QVPrefPanes.h"
#include "preferences/QVPreferences.h"
#include "shell/Defaults.h"

#include <QApplication>
#include <QPixmap>
#include <QRegularExpression>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>

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

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Glimbo"));
    Defaults::resetDefaults();
    QVCodeCompletion::registerFactories();
    QVPrefPanes::registerStandardPanes();

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

// Qorvel's side of the whole-process comparisons: one job per command, done the way the editor
// does it, from reading the file to a result written to standard output, so that it can stand
// beside a peer program started the same way.
//
//   qvdriver grep [-i] [--utf16] PATTERN FILE   matching lines, counted as `grep -P -c` counts
//   qvdriver search [-F] [-i] PATTERN ROOT      "path:matches" for every file of the tree with a
//                                               match, as `rg -j1 -uu --count-matches` prints
//   qvdriver highlight FILE                     the file coloured by the shipped language of its
//                                               extension, written as 24-bit colour terminal text
//   qvdriver navigate FILE                      the code-navigation places of the file by the
//                                               shipped language of its extension, one a line
//   qvdriver decode ENCODING FILE               the file decoded, written as UTF-16LE
//   qvdriver index [--fresh] DEFAULTS ROOT DB   a first pass of the code index over the tree
//                                               (the bundles the environment's folders hold)
//   qvdriver replace LITERAL TEMPLATE FILE      the multi-file find's search of the file, then
//                                               Replace All of every match, as the window runs
//                                               them; prints the matches, the replacements, and
//                                               in kB the search's peak resident set, the set
//                                               before the replace, the replace's own peak and
//                                               the whole process's
#include "bench/MatchingLines.h"

#include "completion/QVCodeIndex.h"
#include "completion/QVCodeIndexer.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleFileCategories.h"
#include "languages/QVBundleRepository.h"
#include "languages/QVCodeNavMenuItem.h"
#include "languages/QVParser.h"
#include "languages/QVTheme.h"
#include "languages/QVThemeRepository.h"
#include "platform/QVRegex.h"
#include "platform/QVTextStorage.h"
#include "platform/UserDefaults.h"
#include "shell/FileEncodings.h"
#include "shell/QVFileCategories.h"
#include "shell/QVSearch.h"
#include "platform/MainQueue.h"
#include "tools/QVMultiFileSearchNode.h"
#include "tools/QVSearchRunner.h"

#include <QColor>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Standard output through one large buffer.
class Output {
public:
    Output() { _buffer.reserve(1 << 20); }
    ~Output() { flush(); }
    void write(const char* data, size_t size) {
        if (_buffer.size() + size > (1 << 20)) flush();
        if (size > (1 << 20)) {
            writeAll(data, size);
            return;
        }
        _buffer.append(data, size);
    }
    void write(const std::string& s) { write(s.data(), s.size()); }
    void write(const QByteArray& s) { write(s.constData(), size_t(s.size())); }

private:
    void flush() {
        writeAll(_buffer.data(), _buffer.size());
        _buffer.clear();
    }
    static void writeAll(const char* data, size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(1, data, size);
            if (n <= 0) return;
            data += n;
            size -= size_t(n);
        }
    }
    std::string _buffer;
};

int usage() {
    std::fprintf(stderr, "usage: qvdriver grep|search|highlight|navigate|decode|index|replace ... (see the source)\n");
    return 2;
}

// Every regular file under root, in the order the directory walk gives them.
std::vector<std::string> filesUnder(const std::string& root) {
    std::vector<std::string> files;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(root, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (error) break;
        if (it->is_regular_file(error)) files.push_back(it->path().string());
    }
    return files;
}

int grep(int argc, char** argv) {
    bool caseless = false, utf16 = false;
    int i = 0;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (!std::strcmp(argv[i], "-i")) caseless = true;
        else if (!std::strcmp(argv[i], "--utf16")) utf16 = true;
        else return usage();
    }
    if (argc - i != 2) return usage();
    const auto regex = QVRegex::create(QString::fromUtf8(argv[i]), caseless ? 3u : 2u);
    if (!regex) return 2;
    const QString path = QString::fromLocal8Bit(argv[i + 1]);
    qint64 lines = 0;
    if (utf16) {
        QVStringEncoding encoding = 0;
        const std::optional<QString> text = FileEncodings::createWithContentsOfFile(path, &encoding);
        if (!text) return 2;
        lines = matchingLines(*regex, *text);
    } else {
        // The bytes as they are, after the check that they are UTF-8 a decoding would make.
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) return 2;
        const QByteArray bytes = file.readAll();
        if (!bytes.isValidUtf8()) return 2;
        lines = matchingLines(*regex, bytes);
    }
    std::printf("%lld\n", lines);
    return lines ? 0 : 1;
}

int search(int argc, char** argv) {
    bool literal = false, caseless = false;
    int i = 0;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (!std::strcmp(argv[i], "-F")) literal = true;
        else if (!std::strcmp(argv[i], "-i")) caseless = true;
        else return usage();
    }
    if (argc - i != 2) return usage();
    const QString pattern = QString::fromUtf8(argv[i]);
    QVSearch engine = literal ? QVSearch::withSearchString(pattern) : QVSearch::withExpressionString(pattern, !caseless);
    engine.setCaseSensitive(!caseless);
    Output out;
    qint64 total = 0;
    // As the find window walks: a file whose extension no text category claims is told text or
    // binary by its first block.
    const auto categories = QVFileCategories::sharedCategories();
    for (const std::string& file : filesUnder(argv[i + 1])) {
        QVStringEncoding encoding = 0;
        const QString path = QString::fromStdString(file);
        bool binary = false;
        const bool textByName = categories->extension(QVFileCategories::pathExtension(path), QVFileCategoryKindText);
        const qsizetype found = engine.findAllForPath(path, &encoding, false, nullptr, textByName ? nullptr : &binary).size();
        if (!found) continue;
        total += found;
        out.write(file + ':' + std::to_string(found) + '\n');
    }
    return total ? 0 : 1;
}

int highlight(int argc, char** argv) {
    if (argc != 1) return usage();
    const QString path = QString::fromLocal8Bit(argv[0]);
    QVStringEncoding encoding = 0;
    const std::optional<QString> text = FileEncodings::createWithContentsOfFile(path, &encoding);
    if (!text) return 2;
    QVBundleRepository& repository = QVBundleRepository::sharedRepository();
    std::shared_ptr<QVBundle> bundle = repository.bundleForFileCategory(QString(), QFileInfo(path).suffix());
    std::shared_ptr<QVParser> parser = bundle ? bundle->parser() : nullptr;
    if (!parser) {
        std::fprintf(stderr, "no language for %s\n", argv[0]);
        return 2;
    }
    const std::shared_ptr<QVTheme> theme = QVThemeRepository::sharedRepository().currentTheme();
    parser->setTheme(theme);
    // Coloured as the editor colours a whole file: standard attributes, the language's parser,
    // then the parser of every embedded stretch it found, in one batch.
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), *text);
    const QVRange all(0, storage.length());
    storage.beginEditing();
    storage.addAttributes({{QVTextStorage::ForegroundColorAttribute, theme->textColor()},
                           {QVTextStorage::BackgroundColorAttribute, theme->backgroundColor()}},
                          all);
    for (const QVEmbeddedRange& embedded : parser->parseRange(all, storage))
        embedded.parser->parseRange(embedded.range, storage);
    storage.endEditing();
    // One escape sequence per run of a colour, then the run's text.
    Output out;
    QVRange run(0, 0);
    char escape[32];
    for (qint64 at = 0; at < storage.length(); at = run.end()) {
        const QColor colour = storage.attribute(QVTextStorage::ForegroundColorAttribute, at, &run).value<QColor>();
        if (run.length <= 0) run.length = 1;
        const int n = std::snprintf(escape, sizeof escape, "\x1b[38;2;%d;%d;%dm", colour.red(), colour.green(), colour.blue());
        out.write(escape, size_t(n));
        out.write(storage.characters(run).toUtf8());
    }
    out.write("\x1b[0m", 4);
    return 0;
}

int navigate(int argc, char** argv) {
    if (argc != 1) return usage();
    const QString path = QString::fromLocal8Bit(argv[0]);
    QVStringEncoding encoding = 0;
    const std::optional<QString> text = FileEncodings::createWithContentsOfFile(path, &encoding);
    if (!text) return 2;
    const std::shared_ptr<QVBundle> bundle = QVBundleRepository::sharedRepository().bundleForFileCategory(QString(), QFileInfo(path).suffix());
    const std::shared_ptr<QVParser> parser = bundle ? bundle->parser() : nullptr;
    if (!parser) return 2;
    Output out;
    for (const QVCodeNavMenuItem& item : parser->codeNavItemsForString(*text, QVRange(0, text->size())))
        out.write(std::to_string(item.range().location) + ' ' + (item.isSeparator() ? std::string("----") : item.title().toStdString()) + '\n');
    return 0;
}

int decode(int argc, char** argv) {
    if (argc != 2) return usage();
    QVStringEncoding encoding = FileEncodings::encodingFromString(QString::fromLatin1(argv[0]));
    if (!encoding) return usage();
    const std::optional<QString> text = FileEncodings::createWithContentsOfFile(QString::fromLocal8Bit(argv[1]), &encoding);
    if (!text) return 2;
    Output out;
    out.write(reinterpret_cast<const char*>(text->utf16()), size_t(text->size()) * 2);
    return 0;
}

int index(int argc, char** argv) {
    // --fresh: start from an empty database, as a first pass does.
    const bool fresh = argc > 0 && !std::strcmp(argv[0], "--fresh");
    if (fresh) {
        --argc;
        ++argv;
    }
    if (argc != 3) return usage();
    if (fresh)
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) QFile::remove(QString::fromLocal8Bit(argv[2]) + QLatin1String(suffix));
    UserDefaults defaults(QString::fromLocal8Bit(argv[0]));
    QVBundleFileCategories::setLookup([](const QString&) -> std::optional<QStringList> { return std::nullopt; });
    QVCodeIndexer::registerFactory();
    QVBundleRepository repository(&defaults);
    QVCodeIndex codeIndex(QString::fromLocal8Bit(argv[2]), &defaults, &repository);
    codeIndex.start();
    codeIndex.indexDirectory(QString::fromLocal8Bit(argv[1]));
    if (!codeIndex.waitUntilIdle(3600 * 1000)) return 2;
    codeIndex.stop();
    return 0;
}

// A figure of /proc/self/status in kB ("VmRSS:", "VmHWM:").
long long statusKB(const char* key) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key)) return line.mid(qsizetype(std::strlen(key))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

int replace(int argc, char** argv) {
    if (argc != 3) return usage();
    struct Delegate : QVSearchRunnerDelegate {
        QStringList files;
        QList<std::shared_ptr<QVMultiFileSearchNode>> nodes;
        QList<QVSearchResult> results;
        qsizetype replaced = 0;
        bool searched = false, done = false;
        void willRunSearchForPath(const QString&) override {}
        void didRunSearchForPath(const QString& path, const std::shared_ptr<QVSearchDocument>&,
                                 const QList<QVSearchResult>& found) override {
            if (found.isEmpty()) return;
            // Kept as the window keeps them: a node per file, each result pointing at it.
            auto node = QVMultiFileSearchNode::create(path);
            node->setSearchResults(found);
            results << node->searchResults();
            nodes << node;
        }
        void didFinishAllSearches() override { searched = true; }
        void didReplaceInPath(const QVReplaceReport& report) override {
            replaced += report.count;
            if (report.outcome != QVReplaceReport::Replaced) std::fprintf(stderr, "%s: %s\n", qPrintable(report.path), qPrintable(report.reason));
        }
        void didFinishAllReplaces() override { done = true; }
        QStringList pathsForSpecificFiles() override { return files; }
    } delegate;
    delegate.files << QString::fromLocal8Bit(argv[2]);
    QVSearchRunner runner(&delegate);
    QVSearch search = QVSearch::withSearchString(QString::fromUtf8(argv[0]));
    search.setCaseSensitive(true);
    runner.runSearch(search, 3);
    if (!MainQueue::runUntil([&] { return delegate.searched; }, std::chrono::hours(1))) return 2;
    // The search's own peak, then the peak from here on alone (writing 5 to clear_refs starts
    // the high-water mark again from what is resident now).
    const long long searchPeak = statusKB("VmHWM:"), before = statusKB("VmRSS:");
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    const bool cleared = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
    clear.close();
    search.setReplaceString(QString::fromUtf8(argv[1]));
    runner.runSearch(search, delegate.results);
    if (!MainQueue::runUntil([&] { return delegate.done; }, std::chrono::hours(1))) return 2;
    const long long replacePeak = statusKB("VmHWM:");
    std::printf("matches=%lld replaced=%lld search_peak_kb=%lld before_kb=%lld replace_peak_kb=%lld peak_kb=%lld\n",
                (long long)delegate.results.size(), (long long)delegate.replaced, searchPeak, before,
                cleared ? replacePeak : -1, std::max(searchPeak, replacePeak));
    return 0;
}

int run(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string command = argv[1];
    argc -= 2;
    argv += 2;
    if (command == "grep") return grep(argc, argv);
    if (command == "search") return search(argc, argv);
    if (command == "highlight") return highlight(argc, argv);
    if (command == "navigate") return navigate(argc, argv);
    if (command == "decode") return decode(argc, argv);
    if (command == "index") return index(argc, argv);
    if (command == "replace") return replace(argc, argv);
    return usage();
}

}  // namespace

int main(int argc, char** argv) {
    // The navigation's items carry fonts, which need the platform integration.
    std::unique_ptr<QCoreApplication> app;
    if (argc > 1 && !std::strcmp(argv[1], "navigate")) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    const int status = run(argc, argv);
    // The shared registries are torn down in no set order at exit (a bundle may outlive the
    // notification centre it unregisters from); the job is done and its output written.
    std::fflush(stdout);
    std::_Exit(status);
}

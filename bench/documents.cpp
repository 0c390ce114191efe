// File documents on real files: saving 1, 10 and 100 MB through the document (the editor's full
// text encoded, written to a temporary file, fsynced and renamed over the old one) beside the
// text of a QTextDocument written with QSaveFile, and beside dd conv=fsync of the same bytes;
// and opening a 100 MB file as a document to the first painted frame beside QPlainTextEdit.
//
// Each size runs in turns (ours, then each peer) QORVEL_BENCH_ROUNDS times (default 5), and each
// row gives the median of the per-round ratios, so that a change of load weighs on both alike.
// QORVEL_BENCH_SAVE_MB lists the save sizes (default "1,10,100"), QORVEL_BENCH_OPEN_MB the open
// size (default 100). Files live in a temporary folder.
#include "bench/BenchApplication.h"
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "shell/Defaults.h"

#include "bench/Paired.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTextDocument>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

namespace {

const QSize ViewSize(900, 700);

// HTML-like lines of 0 to about 80 characters.
QByteArray makeText(qint64 bytes) {
    static const char* const pieces[] = {"<div", "class=\"row\"", ">", "</div>", "<p>", "text", "of", "the", "page",
                                         "&amp;", "<a href=\"/x\">", "link", "</a>", "value", "42", "</p>"};
    std::mt19937 rng(11);
    QByteArray out;
    out.reserve(bytes + 128);
    while (out.size() < bytes) {
        const int words = int(rng() % 12);
        out += QByteArray(int(rng() % 4) * 2, ' ');
        for (int w = 0; w < words; ++w) out += pieces[rng() % 16], out += ' ';
        out += '\n';
    }
    return out;
}

double seconds(const QElapsedTimer& clock) { return double(clock.nsecsElapsed()) / 1e9; }

void paint(QWidget& widget) {
    QImage frame(widget.size(), QImage::Format_ARGB32_Premultiplied);
    widget.render(&frame);
}

std::vector<int> sizes(const char* variable, const char* fallback) {
    std::vector<int> list;
    for (const QByteArray& piece : QByteArray(std::getenv(variable) ? std::getenv(variable) : fallback).split(','))
        if (piece.toInt() > 0) list.push_back(piece.toInt());
    return list;
}

void row(const char* what, int mb, const std::vector<double>& ours, const std::vector<double>& peer) {
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.size(); ++i) ratios.push_back(ours[i] / peer[i]);
    const paired::Spread r = paired::spread(ratios);
    std::printf("| %s | %d MB | %.3f s | %.3f s | %.2f (%.2f to %.2f) |\n", what, mb, paired::spread(ours).median,
                paired::spread(peer).median, r.median, r.min, r.max);
}

}  // namespace

int main(int argc, char** argv) {
    BenchApplication bench(argc, argv);
    QTemporaryDir files;
    const int asked = qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS");
    const int rounds = std::max(1, asked ? asked : 5);

    std::printf("## Saving through the document\n\n");
    std::printf("| peer | size | Qorvel (median) | peer (median) | ratio, median (min to max) |\n|---|---|---|---|---|\n");
    for (const int mb : sizes("QORVEL_BENCH_SAVE_MB", "1,10,100")) {
        const QByteArray bytes = makeText(qint64(mb) * 1000 * 1000);
        const QString ours = files.filePath(QStringLiteral("ours-%1.html").arg(mb));
        const QString theirs = files.filePath(QStringLiteral("qsavefile-%1.html").arg(mb));
        const QString source = files.filePath(QStringLiteral("source-%1.html").arg(mb));
        const QString copy = files.filePath(QStringLiteral("dd-%1.html").arg(mb));
        for (const QString& path : {ours, theirs, source}) {
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(bytes);
        }
        QVFileDocument document(ours);
        if (!document.load()) return std::fprintf(stderr, "the document did not load\n"), 1;
        QTextDocument text;
        text.setPlainText(QString::fromUtf8(bytes));
        std::vector<double> saveOurs, saveQSaveFile, ourForDd, saveDd;
        for (int round = 0; round < rounds; ++round) {
            HTMLView& view = *document.textView();
            view.setSelectedRange(QVRange(view.length(), 0));
            view.undoableInsertText(QStringLiteral("x"), QStringLiteral("Typing"));
            QElapsedTimer clock;
            clock.start();
            QVError error;
            if (!document.save(&error)) return std::fprintf(stderr, "%s\n", qPrintable(error.localizedDescription())), 1;
            const double saved = seconds(clock);
            saveOurs.push_back(saved);
            ourForDd.push_back(saved);
            clock.restart();
            QSaveFile file(theirs);
            file.open(QIODevice::WriteOnly);
            file.write(text.toPlainText().toUtf8());
            if (!file.commit()) return std::fprintf(stderr, "QSaveFile failed\n"), 1;
            saveQSaveFile.push_back(seconds(clock));
            const paired::Run dd = paired::run({QStringLiteral("dd"), QStringLiteral("if=") + source, QStringLiteral("of=") + copy,
                                                QStringLiteral("bs=1M"), QStringLiteral("conv=fsync"), QStringLiteral("status=none")});
            if (!dd.ok) return std::fprintf(stderr, "dd failed\n"), 1;
            saveDd.push_back(dd.wall);
        }
        row("QTextDocument + QSaveFile", mb, saveOurs, saveQSaveFile);
        row("dd conv=fsync", mb, ourForDd, saveDd);
        for (const QString& path : {ours, theirs, source, copy}) QFile::remove(path);
    }

    std::printf("\n## Opening to the first painted frame\n\n");
    std::printf("| peer | size | Qorvel (median) | peer (median) | ratio, median (min to max) |\n|---|---|---|---|---|\n");
    for (const int mb : sizes("QORVEL_BENCH_OPEN_MB", "100")) {
        const QString path = files.filePath(QStringLiteral("open-%1.html").arg(mb));
        {
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(makeText(qint64(mb) * 1000 * 1000));
        }
        std::vector<double> openOurs, openPeer;
        for (int round = 0; round < rounds; ++round) {
            QElapsedTimer clock;
            clock.start();
            {
                auto document = std::make_unique<QVFileDocument>(path);
                document->textView()->resize(ViewSize);
                if (!document->load()) return std::fprintf(stderr, "the document did not load\n"), 1;
                paint(*document->textView());
                openOurs.push_back(seconds(clock));
            }
            clock.restart();
            {
                auto edit = std::make_unique<QPlainTextEdit>();
                edit->resize(ViewSize);
                QFile file(path);
                file.open(QIODevice::ReadOnly);
                edit->setPlainText(QString::fromUtf8(file.readAll()));
                paint(*edit);
                openPeer.push_back(seconds(clock));
            }
        }
        row("QPlainTextEdit", mb, openOurs, openPeer);
    }
    std::printf("\n-----\n\nSaving writes the whole text each round (one character typed first); opening\n"
                "counts the document's making, the read and decode, and the first frame.\n");
    return 0;
}

// Crash reports as whole processes beside their peers, in turns: packaging a 64 MiB report folder
// of 20 files into one multipart file of gzip parts against `gzip -6 -c` on the same files, and
// naming 100,000 addresses in the crasher and in libc against `addr2line -f -e` on each file.
// The figure is ours / peer time (below 1: faster). QORVEL_BENCH_ROUNDS (default 5) pairs each.
// The same program is Qorvel's side: "reports package ROOT FOLDER", "reports symbolicate FOLDER".
#include "bench/Paired.h"

#include "kits/faultline/reports/FLTFileManager.h"
#include "kits/faultline/reports/FLTPackageReportOperation.h"
#include "kits/faultline/reports/FLTReport.h"
#include "kits/faultline/reports/FLTSymbolication.h"
#include "kits/trellis/TRLElfImage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstring>

#include <elf.h>
#include <link.h>

namespace {

struct ElfFacts {
    quint64 firstPage = 0, end = 0, textStart = 0, textEnd = 0;
    QString buildId;
};

ElfFacts facts(const QString& path) {
    ElfFacts f;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return f;
    const QByteArray bytes = file.readAll();
    const char* d = bytes.constData();
    Elf64_Ehdr eh;
    std::memcpy(&eh, d, sizeof eh);
    quint64 low = ~0ull;
    for (int i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph;
        std::memcpy(&ph, d + eh.e_phoff + quint64(i) * sizeof ph, sizeof ph);
        if (ph.p_type != PT_LOAD) continue;
        low = std::min<quint64>(low, ph.p_vaddr);
        f.end = std::max<quint64>(f.end, ph.p_vaddr + ph.p_memsz);
    }
    f.firstPage = low & ~0xFFFull;
    Elf64_Shdr names;
    std::memcpy(&names, d + eh.e_shoff + quint64(eh.e_shstrndx) * sizeof names, sizeof names);
    for (int i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh;
        std::memcpy(&sh, d + eh.e_shoff + quint64(i) * sizeof sh, sizeof sh);
        if (std::strcmp(d + names.sh_offset + sh.sh_name, ".text") == 0) f.textStart = sh.sh_addr, f.textEnd = sh.sh_addr + sh.sh_size;
    }
    if (auto id = TRLElfReadIdentityOfFile(path)) f.buildId = QString::fromLatin1(id->buildId.toHex());
    return f;
}

QString libcPath() {
    QString out;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            if (info->dlpi_name && std::strstr(info->dlpi_name, "libc.so")) *static_cast<QString*>(data) = QString::fromLocal8Bit(info->dlpi_name);
            return 0;
        },
        &out);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc >= 4 && std::strcmp(argv[1], "package") == 0) {
        auto store = std::make_shared<FLTFileManager>(QString::fromLocal8Bit(argv[2]));
        if (!store->prepareForNewLaunch()) return 2;
        auto report = FLTInternalReport::reportWithPath(QString::fromLocal8Bit(argv[3]), QStringLiteral("bench"));
        FLTPackageReportOperation op(report, store);
        op.start();
        return op.finalPath().isEmpty() || !QFile::remove(op.finalPath()) ? 2 : 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "symbolicate") == 0) {
        auto report = FLTInternalReport::reportWithPath(QString::fromLocal8Bit(argv[2]), QStringLiteral("bench"));
        FLTProcessReportOperation op(report, std::make_shared<FLTSymbolResolver>());
        op.start();
        return QFile::exists(report->pathForContentFile(QStringLiteral("signal.fltrecord.symbolicated"))) ? 0 : 2;
    }
    const int rounds = qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS") > 0 ? qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS") : 5;
    const QString self = QString::fromLocal8Bit(argv[0]).startsWith('/') ? QString::fromLocal8Bit(argv[0]) : paired::programFolder() + QStringLiteral("/bench_reports");
    QTemporaryDir dir;

    // 20 record-like files of about 3.2 MiB: JSON lines of addresses and names, as reports hold.
    const QString folder = dir.filePath(QStringLiteral("report"));
    QDir().mkpath(folder);
    QStringList files;
    auto* random = QRandomGenerator::global();
    for (int i = 0; i < 20; ++i) {
        QByteArray text;
        while (text.size() < (64 << 20) / 20)
            text += "{\"frame\":{\"address\":" + QByteArray::number(random->generate64() % 0x7fffffffffffull) + ",\"symbol\":\"ns::function" +
                    QByteArray::number(random->bounded(5000)) + "(int, char const*)\",\"offset\":" + QByteArray::number(random->bounded(4096)) + "}}\n";
        files << folder + QStringLiteral("/file%1.fltrecord").arg(i, 2, 10, QLatin1Char('0'));
        QFile f(files.last());
        if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size()) return 1;
    }
    paired::addRow(paired::row("packaging 64 MiB in 20 files vs gzip -6 -c",
                               paired::compare({self, QStringLiteral("package"), dir.filePath(QStringLiteral("store")), folder},
                                               QStringList{QStringLiteral("gzip"), QStringLiteral("-6"), QStringLiteral("-c")} + files, rounds)));

    // 100,000 addresses: half in the crasher (not loaded: its symbol table), half in libc (loaded).
    const QString crasher = paired::programFolder() + QStringLiteral("/faultline_crasher_fp");
    const QString libc = libcPath();
    const ElfFacts c = facts(crasher), l = facts(libc);
    if (c.buildId.isEmpty() || l.buildId.isEmpty() || c.textEnd <= c.textStart || l.textEnd <= l.textStart) {
        std::fprintf(stderr, "cannot read %s or %s\n", qPrintable(crasher), qPrintable(libc));
        return 1;
    }
    const quint64 crasherBase = 0x10000000, libcBase = 0x7f0000000000;
    const QString sym = dir.filePath(QStringLiteral("sym"));
    QDir().mkpath(sym);
    QByteArray stack = "{\"threads\":[{\"stacktrace\":[";
    QByteArray crasherAddresses, libcAddresses;
    for (int i = 0; i < 100000; ++i) {
        const bool inLibc = i % 2;
        const ElfFacts& f = inLibc ? l : c;
        const quint64 vaddr = f.textStart + random->bounded(quint64(f.textEnd - f.textStart));
        stack += (i ? "," : "") + QByteArray::number((inLibc ? libcBase : crasherBase) + vaddr - f.firstPage);
        (inLibc ? libcAddresses : crasherAddresses) += "0x" + QByteArray::number(vaddr, 16) + "\n";
    }
    stack += "]}]}\n";
    QFile(sym + QStringLiteral("/signal.fltrecord")).open(QIODevice::WriteOnly);
    {
        QFile s(sym + QStringLiteral("/signal.fltrecord"));
        s.open(QIODevice::WriteOnly);
        s.write("{\"signal\":{\"time\":1}}\n" + stack);
        QFile images(sym + QStringLiteral("/binary_images.fltrecord"));
        images.open(QIODevice::WriteOnly);
        images.write(QStringLiteral("{\"load\":{\"path\":\"%1\",\"uuid\":\"%2\",\"base\":%3,\"size\":%4}}\n{\"load\":{\"path\":\"%5\",\"uuid\":\"%6\",\"base\":%7,\"size\":%8}}\n")
                         .arg(crasher, c.buildId)
                         .arg(crasherBase)
                         .arg(c.end - c.firstPage)
                         .arg(libc, l.buildId)
                         .arg(libcBase)
                         .arg(l.end - l.firstPage)
                         .toUtf8());
        QFile a1(dir.filePath(QStringLiteral("a1"))), a2(dir.filePath(QStringLiteral("a2")));
        a1.open(QIODevice::WriteOnly), a2.open(QIODevice::WriteOnly);
        a1.write(crasherAddresses), a2.write(libcAddresses);
    }
    const QString peer = QStringLiteral("addr2line -f -e '%1' < '%2'; addr2line -f -e '%3' < '%4'").arg(crasher, dir.filePath(QStringLiteral("a1")), libc, dir.filePath(QStringLiteral("a2")));
    paired::addRow(paired::row("symbolicating 100,000 addresses (crasher, libc) vs addr2line -f -e",
                               paired::compare({self, QStringLiteral("symbolicate"), sym}, {QStringLiteral("/bin/sh"), QStringLiteral("-c"), peer}, rounds)));
    paired::printTable("Crash reports");
    return 0;
}

// Naming the frames of an earlier run's crash records. Each address is placed in the image that
// held it at crash time (the report's "binary_images.fltrecord"), that image is found again by its
// build id, loaded now (named with dladdr) or as the file at its recorded path (its .symtab, then
// its .dynsym), names are demangled, and each crash file gains a companion with the extension
// "symbolicated". An image rebuilt since the crash keeps its frames unnamed.
#pragma once

#include "platform/Operation.h"

#include <QHash>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <vector>

class FLTInternalReport;

struct FLTStackFrame {
    QString symbol;     // demangled, or the raw name
    QString rawSymbol;  // as the lookup gave it
    QString library;    // last path component of the image
    QString fileName;
    quint32 lineNumber = 0;
    quint64 offset = 0;   // address minus the symbol's start
    quint64 address = 0;  // as recorded
    // The thread's first frame is where it stood; the others are return addresses, named by the
    // call before them.
    bool isReturnAddress = false;

    QString description() const;
};

using FLTThreadArray = std::vector<std::vector<std::shared_ptr<FLTStackFrame>>>;

// The symbols of one ELF file, sorted by address, for images no longer loaded (or loaded without
// exported names for an address).
class FLTElfSymbolTable {
public:
    // Nothing when the file cannot be read, is no ELF image, or its build id is not buildId.
    static std::shared_ptr<FLTElfSymbolTable> load(const QString& path, const QString& buildId);
    struct Symbol {
        quint64 start = 0, size = 0;
        QByteArray name;
    };
    // The symbol holding the link-time address, or null.
    const Symbol* lookup(quint64 vaddr) const;
    // Link-time address of the image's first page, the "base" the capture records relative to.
    quint64 firstPage() const { return _firstPage; }

private:
    std::vector<Symbol> _symbols;
    quint64 _firstPage = 0;
};

class FLTSymbolResolver {
public:
    bool loadBinaryImagesFromFile(const QString& path);
    // The crashed run's image holding the address, or an empty map.
    QVariantMap loadedBinaryImageForPC(quint64 address) const;
    bool updateStackFrame(FLTStackFrame& frame);
    std::shared_ptr<FLTStackFrame> frameForAddress(quint64 address);

private:
    struct Loaded {
        bool scanned = false;
        bool found = false;
        quint64 base = 0;
    };
    Loaded currentImage(const QString& uuid);
    std::shared_ptr<FLTElfSymbolTable> fileTable(const QString& path, const QString& uuid);

    std::vector<QVariantMap> _images;  // sorted by "base"
    QHash<QString, Loaded> _current;
    QHash<QString, std::shared_ptr<FLTElfSymbolTable>> _tables;
    QHash<QString, bool> _tableMissing;
};

class FLTThreadArrayOperation : public Operation {
public:
    explicit FLTThreadArrayOperation(FLTThreadArray* threads) : _threads(threads) {}
    void enumerateFramesWithBlock(const std::function<void(FLTStackFrame&)>& block);

protected:
    FLTThreadArray* _threads;
};

class FLTSymbolicationOperation : public FLTThreadArrayOperation {
public:
    FLTSymbolicationOperation(FLTThreadArray* threads, FLTSymbolResolver* resolver) : FLTThreadArrayOperation(threads), _resolver(resolver) {}

protected:
    void main() override;

private:
    FLTSymbolResolver* _resolver;
};

class FLTDemangleOperation : public FLTThreadArrayOperation {
public:
    using FLTThreadArrayOperation::FLTThreadArrayOperation;
    // Itanium names ("_Z…", and "__Z…_block_invoke…"); nothing for other names.
    static QString demangleSymbol(const char* symbol);
    static QString demangleCppSymbol(const char* symbol);

protected:
    void main() override;
};

class FLTSerializeSymbolicatedFramesOperation : public FLTThreadArrayOperation {
public:
    FLTSerializeSymbolicatedFramesOperation(FLTThreadArray* threads, QString outputPath) : FLTThreadArrayOperation(threads), _outputPath(std::move(outputPath)) {}
    bool succeeded() const { return _succeeded; }

protected:
    // Written to a hidden file renamed into place, so a cut leaves no half companion.
    void main() override;

private:
    QString _outputPath;
    bool _succeeded = false;
};

class FLTProcessReportOperation : public Operation {
public:
    FLTProcessReportOperation(std::shared_ptr<FLTInternalReport> report, std::shared_ptr<FLTSymbolResolver> resolver)
        : _report(std::move(report)), _resolver(std::move(resolver)) {}
    static bool threadArrayFromFile(const QString& path, FLTThreadArray* out);
    bool symbolicateFile(const QString& path, FLTSymbolResolver& resolver);

protected:
    void main() override;

private:
    std::shared_ptr<FLTInternalReport> _report;
    std::shared_ptr<FLTSymbolResolver> _resolver;
};

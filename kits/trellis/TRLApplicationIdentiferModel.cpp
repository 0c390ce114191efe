// The identity of the build: Mach-O images by their slices' UUID and version-minimum commands,
// ELF images (Qorvel's own) by their build-id and ABI note.
#include "kits/trellis/TRLApplicationIdentiferModel.h"

#include "kits/trellis/TRLElfImage.h"
#include "kits/trellis/TRLHelpers.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QThread>

std::optional<TRLIcon> TRLIcon::fromImage(const QImage& image) {
    if (image.isNull()) return std::nullopt;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG") || png.isEmpty()) return std::nullopt;
    return TRLIcon(png, QSizeF(image.size()), true);
}

TRLIcon::TRLIcon(QByteArray data, QSizeF size, bool prerendered)
    : _data(std::move(data)), _dataHash(TRLSHA1HexDigestOfData(_data)), _size(size), _prerendered(prerendered) {}

std::optional<TRLIcon> TRLAppIconUtility::applicationIcon() {
    // Pixmaps are made on the application's thread only; elsewhere the icon is left out.
    QCoreApplication* app = QCoreApplication::instance();
    if (!qobject_cast<QGuiApplication*>(app) || QThread::currentThread() != app->thread()) return std::nullopt;
    const QIcon icon = QGuiApplication::windowIcon();
    if (icon.isNull()) return std::nullopt;
    return TRLIcon::fromImage(icon.pixmap(QSize(512, 512)).toImage());
}

std::unique_ptr<TRLApplicationIdentiferModel> TRLApplicationIdentiferModel::make(const QString& installID) {
    return makeForExecutable(installID, QStringLiteral("/proc/self/exe"), TRLAppIconUtility::applicationIcon());
}

std::unique_ptr<TRLApplicationIdentiferModel> TRLApplicationIdentiferModel::makeForExecutable(const QString& installID, const QString& path,
                                                                                             std::optional<TRLIcon> icon) {
    FLTMachOFile file;
    if (!FLTMachOFileInitWithPath(&file, path)) return nullptr;
    std::unique_ptr<TRLApplicationIdentiferModel> model(new TRLApplicationIdentiferModel);
    const bool ok = model->computeExecutableInfo(file.data, file.size);
    FLTMachOFileDestroy(&file);
    if (!ok || !model->computeInstanceIdentifier()) return nullptr;
    model->_installID = installID;
    model->_icon = std::move(icon);
    model->_bundleIdentifier = TRLEscapedBundleIdentifier();
    return model;
}

std::unique_ptr<TRLApplicationIdentiferModel> TRLApplicationIdentiferModel::makeForImage(const QString& installID, const QByteArray& image,
                                                                                        std::optional<TRLIcon> icon) {
    std::unique_ptr<TRLApplicationIdentiferModel> model(new TRLApplicationIdentiferModel);
    if (!model->computeExecutableInfo(reinterpret_cast<const uchar*>(image.constData()), image.size()) ||
        !model->computeInstanceIdentifier())
        return nullptr;
    model->_installID = installID;
    model->_icon = std::move(icon);
    model->_bundleIdentifier = TRLEscapedBundleIdentifier();
    return model;
}

bool TRLApplicationIdentiferModel::computeExecutableInfo(const uchar* data, qint64 size) {
    if (auto elf = TRLElfReadIdentity(data, size)) {
        if (!elf->buildId.isEmpty()) {
            const QByteArray uuid = elf->uuidBytes();
            _architectureUUIDMap.insert(elf->architecture, TRLHexStringFromUUIDBytes(reinterpret_cast<const uchar*>(uuid.constData())));
        }
        if (elf->hasAbiTag) _minimumSDK = {elf->abiMajor, elf->abiMinor, elf->abiPatch};
        const QStringList built = TRLElfBuiltLibraryVersion().split(QLatin1Char('.'));
        _builtSDK = {built.value(0).toUInt(), built.value(1).toUInt(), built.value(2).toUInt()};
        return true;
    }
    FLTMachOFile file;
    if (!FLTMachOFileInitWithBuffer(&file, data, size)) return false;
    bool machO = false;
    FLTMachOFileEnumerateSlices(&file, [&](FLTMachOSlice slice) {
        if (slice.cpuType == 0 && slice.cpuSubtype == 0) return;  // not a Mach-O slice
        machO = true;
        FLTMachOSliceEnumerateLoadCommands(&slice, [&](const FLTMachOLoadCommand& c) {
            uchar uuid[16];
            if (FLTMachOGetUUID(c, uuid)) {
                _architectureUUIDMap.insert(FLTMachOSliceGetArchitectureName(&slice), FLTMachOFormatUUID(uuid));
            } else if (c.cmd == FLTMachOLoadCommandVersionMinMacOSX || c.cmd == FLTMachOLoadCommandVersionMinIPhoneOS) {
                _minimumSDK = FLTMachOGetMinimumOSVersion(c);
                _builtSDK = FLTMachOGetSDKVersion(c);
            }
        });
    });
    return machO;
}

bool TRLApplicationIdentiferModel::computeInstanceIdentifier() {
    // QMap iterates its names in ascending order, as the identifier wants.
    QString joined;
    for (auto it = _architectureUUIDMap.cbegin(); it != _architectureUUIDMap.cend(); ++it) joined += it.value();
    const QByteArray bytes = joined.toUtf8();
    _instanceIdentifier = TRLSHA1HexDigestOfData(bytes);
    return true;
}

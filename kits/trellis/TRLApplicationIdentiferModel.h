// What the services know a build by: the UUID of each architecture slice of the executable, an
// instance identifier derived from them, the oldest system it runs on and the library version it
// was built with, the installation UUID, the escaped bundle identifier and the icon.
#pragma once

#include "kits/trellis/FLTMachO.h"

#include <QByteArray>
#include <QMap>
#include <QSizeF>
#include <QString>

#include <memory>
#include <optional>

class TRLIcon {
public:
    // PNG bytes of an image; nothing for an empty image.
    static std::optional<TRLIcon> fromImage(const class QImage& image);
    TRLIcon(QByteArray data, QSizeF size, bool prerendered = true);

    QByteArray data() const { return _data; }
    QString dataHash() const { return _dataHash; }  // SHA-1, 40 lower-case hexadecimal characters
    QSizeF size() const { return _size; }
    bool prerendered() const { return _prerendered; }
    double surfaceArea() const { return _size.width() * _size.height(); }
    bool isWithinMaxSurfaceArea() const { return surfaceArea() <= 1048576; }
    bool largerThanSize(QSizeF s) const { return surfaceArea() > s.width() * s.height(); }

private:
    QByteArray _data;
    QString _dataHash;
    QSizeF _size;
    bool _prerendered = true;
};

class TRLAppIconUtility {
public:
    // The application's window icon as PNG; nothing without a GUI application or an icon.
    static std::optional<TRLIcon> applicationIcon();
};

class TRLApplicationIdentiferModel {
public:
    // The running executable; nothing when it cannot be inspected.
    static std::unique_ptr<TRLApplicationIdentiferModel> make(const QString& installID);
    // An image file (ELF or Mach-O, thin or fat); nothing when it is neither.
    static std::unique_ptr<TRLApplicationIdentiferModel> makeForExecutable(const QString& installID, const QString& path,
                                                                          std::optional<TRLIcon> icon = std::nullopt);
    // The same over bytes in memory.
    static std::unique_ptr<TRLApplicationIdentiferModel> makeForImage(const QString& installID, const QByteArray& image,
                                                                     std::optional<TRLIcon> icon = std::nullopt);

    QMap<QString, QString> architectureUUIDMap() const { return _architectureUUIDMap; }
    QString instanceIdentifier() const { return _instanceIdentifier; }
    FLTMachOVersion builtSDK() const { return _builtSDK; }
    FLTMachOVersion minimumSDK() const { return _minimumSDK; }
    QString builtSDKString() const { return FLTMachOFormatVersion(&_builtSDK); }
    QString minimumSDKString() const { return FLTMachOFormatVersion(&_minimumSDK); }
    QString installID() const { return _installID; }
    const std::optional<TRLIcon>& icon() const { return _icon; }
    QString bundleIdentifier() const { return _bundleIdentifier; }

private:
    TRLApplicationIdentiferModel() = default;
    bool computeExecutableInfo(const uchar* data, qint64 size);
    bool computeInstanceIdentifier();

    QMap<QString, QString> _architectureUUIDMap;
    QString _instanceIdentifier;
    FLTMachOVersion _builtSDK, _minimumSDK;
    QString _installID;
    std::optional<TRLIcon> _icon;
    QString _bundleIdentifier;
};

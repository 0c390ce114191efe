// The events an outside program that handed a file to Qorvel hears of it: a save ('FMod') and the
// close ('FCls'), of class 'R*ch', addressed to the program's four-character signature. No program
// on the desktop hands files over this way yet, so the records are built and handed to a sink that
// only logs them.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

struct QVExternalEditorEvent {
    QByteArray eventClass;  // "R*ch"
    QByteArray eventID;     // "FMod" after a save, "FCls" at the close
    QByteArray target;      // the receiver's signature, four bytes
    QString file;           // the document's file (the direct object)
    QByteArray token;       // the client's token ('Tokn'); empty when it sent none
    QString newFile;        // after a Save As, the file at its new place ('New?'); else empty

    bool operator==(const QVExternalEditorEvent&) const = default;

    // The save event of file for receiver; newFile only after a Save As.
    static QVExternalEditorEvent saved(const QByteArray& receiver, const QByteArray& token, const QString& file,
                                       const QString& newFile = {}) {
        return {QByteArrayLiteral("R*ch"), QByteArrayLiteral("FMod"), receiver, file, token, newFile};
    }
    static QVExternalEditorEvent closed(const QByteArray& receiver, const QByteArray& token, const QString& file) {
        return {QByteArrayLiteral("R*ch"), QByteArrayLiteral("FCls"), receiver, file, token, {}};
    }
};

// Where a document's external-editor events go: nowhere but the log until a sender exists.
using QVExternalEditorEventSink = std::function<void(const QVExternalEditorEvent&)>;

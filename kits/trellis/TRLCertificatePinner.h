// The roots kit connections must end in: by default the published roots built into Qorvel; an
// endpoint may name its own roots file instead. Trust is then checked against those roots only
// (peer and host name), never against whatever the system trusts.
#pragma once

#include "platform/HttpEngine.h"

#include <QByteArray>
#include <QList>

class TRLCertificatePinner {
public:
    // The built-in roots as PEM text (the same certificates each call).
    static QByteArray pinnedCertificates();
    // How many certificates the PEM text holds that parse.
    static int countCertificates(const QByteArray& pem);
    // One certificate from DER bytes as PEM; empty for bytes that are not a certificate.
    static QByteArray createCertificationWithData(const QByteArray& der);

    // A pinner over the PEM text of the given roots; one over none refuses every server.
    explicit TRLCertificatePinner(QByteArray certificatesPem);
    QByteArray certificates() const { return _certificates; }
    bool isEmpty() const { return _count == 0; }
    // Puts the roots on the request, so its connection (and each redirect) is checked against them.
    void applyTo(HttpRequest& request) const;

private:
    QByteArray _certificates;
    int _count = 0;
};

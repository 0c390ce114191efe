// The roots kit connections must end in: by default the published roots built into Qorvel; an
// endpoint may name its own roots file instead. Trust is then checked against those roots only
// (peer and host name), never against whatever the system trusts.
#pragma once

#include "platform/HttpEngine.h"

#include <QByteArray>
#include <QList>

#include <atomic>
#include <memory>
#include <mutex>

class TRLCertificatePinner {
public:
    // The built-in roots as PEM text (the same certificates each call).
    static QByteArray pinnedCertificates();
    // How many certificates the PEM text holds that parse.
    static int countCertificates(const QByteArray& pem);
    // Calls of countCertificates so far in the process: the launch makes its kits' clients
    // (and their pinners) before its first paint, and parsing the roots waits for a request.
    static quint64 certificateCounts();
    // One certificate from DER bytes as PEM; empty for bytes that are not a certificate.
    static QByteArray createCertificationWithData(const QByteArray& der);

    // A pinner over the PEM text of the given roots; one over none refuses every server.
    explicit TRLCertificatePinner(QByteArray certificatesPem);
    QByteArray certificates() const { return _certificates; }
    bool isEmpty() const { return count() == 0; }
    // Puts the roots on the request, so its connection (and each redirect) is checked against them.
    void applyTo(HttpRequest& request) const;

private:
    // The roots are counted when first needed; copies share the count.
    struct Count {
        std::once_flag once;
        int value = 0;
    };
    int count() const;

    QByteArray _certificates;
    std::shared_ptr<Count> _count = std::make_shared<Count>();
};

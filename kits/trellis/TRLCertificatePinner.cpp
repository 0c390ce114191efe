#include "kits/trellis/TRLCertificatePinner.h"

#include "kits/trellis/TRLPinnedRoots.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

QByteArray TRLCertificatePinner::pinnedCertificates() { return QByteArray(TRLPinnedRootsPEM); }

int TRLCertificatePinner::countCertificates(const QByteArray& pem) {
    BIO* bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    int count = 0;
    while (X509* c = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        ++count;
        X509_free(c);
    }
    BIO_free(bio);
    ERR_clear_error();
    return count;
}

QByteArray TRLCertificatePinner::createCertificationWithData(const QByteArray& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    X509* c = d2i_X509(nullptr, &p, long(der.size()));
    if (!c) {
        ERR_clear_error();
        return {};
    }
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, c);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    QByteArray pem(data, length);
    BIO_free(bio);
    X509_free(c);
    return pem;
}

TRLCertificatePinner::TRLCertificatePinner(QByteArray certificatesPem)
    : _certificates(std::move(certificatesPem)), _count(countCertificates(_certificates)) {}

void TRLCertificatePinner::applyTo(HttpRequest& request) const {
    // Text without a certificate makes the engine refuse the connection: an empty pinner trusts
    // nobody rather than everybody.
    request.pinnedRootsPem = _count > 0 ? _certificates : QByteArray("no pinned roots");
    request.pinnedRootsPemPath.clear();
}

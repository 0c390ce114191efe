#include "kits/trellis/TRLCertificatePinner.h"

#include "kits/trellis/TRLPinnedRoots.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

QByteArray TRLCertificatePinner::pinnedCertificates() { return QByteArray(TRLPinnedRootsPEM); }

namespace {
std::atomic<quint64> g_certificateCounts{0};
}  // namespace

quint64 TRLCertificatePinner::certificateCounts() { return g_certificateCounts.load(); }

int TRLCertificatePinner::countCertificates(const QByteArray& pem) {
    g_certificateCounts.fetch_add(1);
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

TRLCertificatePinner::TRLCertificatePinner(QByteArray certificatesPem) : _certificates(std::move(certificatesPem)) {}

int TRLCertificatePinner::count() const {
    std::call_once(_count->once, [this] { _count->value = countCertificates(_certificates); });
    return _count->value;
}

void TRLCertificatePinner::applyTo(HttpRequest& request) const {
    // Text without a certificate makes the engine refuse the connection: an empty pinner trusts
    // nobody rather than everybody.
    request.pinnedRootsPem = count() > 0 ? _certificates : QByteArray("no pinned roots");
    request.pinnedRootsPemPath.clear();
}

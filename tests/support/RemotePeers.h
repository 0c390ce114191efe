// Where the real FTP, SFTP and WebDAV peers started by scripts/with-remote-peers listen.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

#include "files/QVRemoteFilesConnection.h"

struct PeerSite {
    int type;
    int port;
    QString user, root, base;
    QStringList arguments;
};

// Nothing when the wrapper did not start the client type's peer.
inline std::optional<PeerSite> peerSite(int type) {
    using C = QVRemoteFilesConnection;
    PeerSite s{type, 0, qEnvironmentVariable("QORVEL_PEER_USER"), {}, {}, {}};
    if (type == C::FTP) {
        s.port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
        s.root = qEnvironmentVariable("QORVEL_FTP_ROOT");
        s.base = "/";
    } else if (type == C::SFTP) {
        s.port = qEnvironmentVariableIntValue("QORVEL_SFTP_PORT");
        s.user = qEnvironmentVariable("QORVEL_SFTP_USER");
        s.root = qEnvironmentVariable("QORVEL_SFTP_ROOT");
        s.base = s.root + "/";
    } else {
        s.port = qEnvironmentVariableIntValue("QORVEL_DAV_PORT");
        s.root = qEnvironmentVariable("QORVEL_DAV_ROOT");
        s.base = "/dav/";
    }
    if (s.port <= 0) return std::nullopt;
    return s;
}

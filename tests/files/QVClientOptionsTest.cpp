// Site options read the way each client's option parser reads them: only harmless ones pass.
#include "files/QVClientOptions.h"
#include "files/QVProjectRemoteConfiguration.h"
#include "platform/Paths.h"
#include "platform/Process.h"

#include <gtest/gtest.h>

namespace {
constexpr int FTP = 0, SFTP = 1, DAV = 2;
}

TEST(QVClientOptions, OnlyOptionsEachClientReadsAsHarmlessPass) {
    struct Case {
        int protocol;
        QStringList arguments;
        QStringList refused;
        QStringList passed = {"*"};  // "*": every argument passes
    };
    const std::vector<Case> cases = {
        // sftp: bundled letters and attached values, as its getopt reads them.
        {SFTP, {"-C", "-v", "-l", "100", "-oIdentityFile=~/.ssh/id", "-o", "identityfile ~/.ssh/a.b", "-i~/.ssh/k"}, {}},
        // The site's own port and user always win: no option names others.
        {SFTP, {"-P", "2222"}, {"-P 2222"}},
        {SFTP, {"-CP2222", "-v"}, {"-CP2222"}, {"-v"}},
        {SFTP, {"-oPort=2222", "-o", "User evil", "-oUSER=evil"}, {"-oPort=2222", "-o User evil", "-oUSER=evil"}},
        // Uploads that append to what is there, or loosen its mode to the local copy's.
        {SFTP, {"-a", "-Cp", "-f"}, {"-a", "-Cp"}, {"-f"}},
        {SFTP, {"-Fssh_config"}, {"-Fssh_config"}},
        {SFTP, {"-F", "ssh_config", "-C"}, {"-F ssh_config"}, {"-C"}},
        {SFTP, {"-vFssh_config"}, {"-vFssh_config"}},
        {SFTP, {"-Sevil"}, {"-Sevil"}},
        {SFTP, {"-CSevil", "-v"}, {"-CSevil"}, {"-v"}},
        {SFTP, {"-vDevil"}, {"-vDevil"}},
        {SFTP, {"-b", "batch"}, {"-b batch"}},
        {SFTP, {"-J", "jump"}, {"-J jump"}},
        {SFTP, {"-A"}, {"-A"}},
        {SFTP, {"-oProxyCommand=sh -c x"}, {"-oProxyCommand=sh -c x"}},
        {SFTP, {"-o", "ProxyCommand sh"}, {"-o ProxyCommand sh"}},
        {SFTP, {"-oPKCS11Provider=/tmp/x.so"}, {"-oPKCS11Provider=/tmp/x.so"}},
        {SFTP, {"-oSecurityKeyProvider=x.so"}, {"-oSecurityKeyProvider=x.so"}},
        {SFTP, {"-o=ProxyCommand=x"}, {"-o=ProxyCommand=x"}},          // ssh skips the "="
        {SFTP, {"-o\"ProxyCommand\"=x"}, {"-o\"ProxyCommand\"=x"}},    // and takes quotes off
        {SFTP, {"-oLocalCommand=x", "-oPermitLocalCommand=yes"}, {"-oLocalCommand=x", "-oPermitLocalCommand=yes"}},
        {SFTP, {"-oInclude=/tmp/cfg", "-oMatch=exec x"}, {"-oInclude=/tmp/cfg", "-oMatch=exec x"}},
        {SFTP, {"-oHashKnownHosts=no"}, {"-oHashKnownHosts=no"}},
        {SFTP, {"-vo", "ProxyJump=h"}, {"-vo ProxyJump=h"}},
        {SFTP, {"-o"}, {"-o"}},                                          // no value: refused
        {SFTP, {"evil.example.org"}, {"evil.example.org"}},             // a host of its own
        {SFTP, {"-C", "--", "-x", "y"}, {"-- -x y"}, {"-C"}},
        {SFTP, {"-Z"}, {"-Z"}},
        {SFTP, {"-B", "-oProxyCommand=x"}, {"-B -oProxyCommand=x"}},  // an option in a value's place
        // tnftp: -N names a netrc whose "macdef init" runs commands.
        {FTP, {"-A", "-v", "-P", "21", "-q", "30"}, {}},
        {FTP, {"-a"}, {"-a"}},  // anonymous instead of the site's user
        {FTP, {"-va", "-d"}, {"-va"}, {"-d"}},
        {FTP, {"-N", "netrc"}, {"-N netrc"}},
        {FTP, {"-Nnetrc"}, {"-Nnetrc"}},
        {FTP, {"-vNnetrc"}, {"-vNnetrc"}},
        {FTP, {"-o", "/tmp/out", "-u", "x"}, {"-o /tmp/out", "-u x"}},
        {FTP, {"-oProxyCommand=x"}, {"-oProxyCommand=x"}},
        // cadaver: -r reads a script of commands, -p connects through a proxy; long options by any
        // unambiguous prefix.
        {DAV, {"-t", "--tolerant", "--tol", "--t"}, {}},
        {DAV, {"-p", "evil:8080"}, {"-p evil:8080"}},
        {DAV, {"-pevil:8080", "-t"}, {"-pevil:8080"}, {"-t"}},
        {DAV, {"-tpevil:8080"}, {"-tpevil:8080"}},
        {DAV, {"-tp", "evil:8080"}, {"-tp evil:8080"}},
        {DAV, {"--proxy=evil:8080", "--proxy", "evil"}, {"--proxy=evil:8080", "--proxy evil"}},
        {DAV, {"--pro=evil:8080", "--p=evil", "--prox", "evil"}, {"--pro=evil:8080", "--p=evil", "--prox evil"}},
        {DAV, {"-r", "rc"}, {"-r rc"}},
        {DAV, {"-trrc"}, {"-trrc"}},
        {DAV, {"--rcfile=x", "--rc", "y"}, {"--rcfile=x", "--rc y"}},
        {DAV, {"--help", "--tolerant=yes", "--p"}, {"--help", "--tolerant=yes", "--p"}},  // "--p": no value
    };
    std::vector<Case> all = cases;
    // ssh keys that write or read a file, run or load something, or connect elsewhere, in every
    // form sftp and ssh accept: attached, apart, "Key value", any case, bundled, "=" and quotes.
    const QString home = Paths::home();
    const QStringList writesOrRuns = {
        "UserKnownHostsFile=/tmp/victim", "GlobalKnownHostsFile=/tmp/victim", "HostKeyAlias=$(touch /tmp/p)",
        "UpdateHostKeys=yes", "StrictHostKeyChecking=no", "StrictHostKeyChecking=accept-new", "CheckHostIP=yes",
        "HashKnownHosts=no", "HostName=$(id)", "ControlPath=/tmp/s", "ControlMaster=yes", "ControlPersist=1",
        "LocalCommand=id", "PermitLocalCommand=yes", "RemoteCommand=id", "KnownHostsCommand=/bin/sh -c x",
        "ProxyCommand=sh", "ProxyJump=h", "ProxyUseFdpass=yes", "Tunnel=yes", "TunnelDevice=any", "LocalForward=1 h:2",
        "RemoteForward=1 h:2", "DynamicForward=1", "ForwardAgent=yes", "ForwardX11=yes", "XAuthLocation=/tmp/x",
        "IdentityAgent=/tmp/a", "PKCS11Provider=/tmp/p.so", "SecurityKeyProvider=x.so", "Include=/tmp/c",
        "Match=exec x", "Host=*", "CertificateFile=/tmp/c", "RevokedHostKeys=/tmp/r", "SendEnv=*", "SetEnv=A=b",
        "EnableSSHKeysign=yes", "HostbasedAuthentication=yes", "IdentityFile=/tmp/k",
        "IdentityFile=~/.ssh/../k", "IdentityFile=" + home + "/.ssh/../.bashrc", "IdentityFile=%d/.ssh/id",
        "IdentityFile=${HOME}/.ssh/id", "IdentityFile=~/.ssh/id x", "IdentityFile=~/.sshx/id", "IdentityFile=~/.ssh/",
        "IdentityFile=.ssh/id", "IdentityFile=\"~/.ssh/id\""};
    for (const QString& option : writesOrRuns) {
        const qsizetype equals = option.indexOf('=');
        const QString key = option.left(equals), value = option.mid(equals + 1);
        const QString flipped = key.left(1).toLower() + key.mid(1).toUpper();
        for (const QStringList& form : {QStringList{"-o" + option}, QStringList{"-o", option},
                                        QStringList{"-o", key + ' ' + value}, QStringList{"-o" + flipped + '=' + value},
                                        QStringList{"-Cqo", key + " = " + value}, QStringList{"-o=" + option},
                                        QStringList{"-o\"" + key + "\" " + value}, QStringList{"-o", "\t" + option}})
            all.push_back({SFTP, form + QStringList{"-C"}, {form.join(' ')}, {"-C"}});
    }
    for (const QString& path : QStringList{"/tmp/k", "~/.ssh/../k", "%d/.ssh/id", "~/.ssh"})
        for (const QStringList& form : {QStringList{"-i", path}, QStringList{"-Ci" + path}})
            all.push_back({SFTP, form, {form.join(' ')}});
    all.push_back({SFTP, {"-i", home + "/.ssh/id_ed25519", "-oIdentityFile=" + home + "//.ssh/./k"}, {}});
    for (const Case& c : all) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const QVClientOptions::Verdict verdict = QVClientOptions::check(c.arguments, c.protocol);
        EXPECT_EQ(verdict.refused, c.refused);
        const QStringList passed = c.passed == QStringList{"*"} ? (c.refused.isEmpty() ? c.arguments : QStringList())
                                                                 : c.passed;
        EXPECT_EQ(verdict.arguments, passed);
    }
}

TEST(QVClientOptions, SiteSettingsDropRefusedEntriesAndNameThemAtOK) {
    QVProjectRemoteConfiguration site;
    site.setHost("example.org");
    site.setProtocol(SFTP);
    site.setOptions(QVariantMap{{"other", "-v -Fcfg -C -o ProxyCommand=x"},
                                {"o", "ProxyCommand=sh"},
                                {"oIdentityFile", "~/.ssh/key"},
                                {"oUserKnownHostsFile", "/home/me/.bashrc"},
                                {"S", "evil"},
                                {"C", true}});
    // At OK: refused, with the options named.
    const QVError error = site.connectionError();
    ASSERT_FALSE(error.isNull());
    EXPECT_EQ(error.userInfoValue("QVInvalidSiteField").toString(), "options");
    EXPECT_TRUE(error.localizedRecoverySuggestion().contains("\"-Fcfg\"")) << error.localizedRecoverySuggestion().toStdString();
    // On reading: each entry on its own, the harmless part of "other" kept.
    const QStringList refused = site.removeRefusedOptions();
    EXPECT_EQ(refused, (QStringList{"-S=evil", "-o=ProxyCommand=sh", "-oUserKnownHostsFile=/home/me/.bashrc", "-Fcfg",
                                    "-o ProxyCommand=x"}));
    EXPECT_EQ(*site.options(), (QVariantMap{{"other", "-v -C"}, {"oIdentityFile", "~/.ssh/key"}, {"C", true}}));
    EXPECT_TRUE(site.connectionError().isNull());
    EXPECT_EQ(site.arguments(), (QStringList{"-C", "-oIdentityFile=~/.ssh/key", "-v", "-C"}));
}

TEST(QVClientOptions, SSHOptionsSplitAsTheRealSSHSplitsThem) {
    // ssh -G prints the configuration the options make, connecting nowhere.
    for (const QString& option : {QString("\"Port\" 2345"), QString("=User=bob"), QString(" HostKeyAlias = x"),
                                  QString("\tConnectTimeout=7"), QString("port  =  2346"), QString("USER bob2"),
                                  QString("\"IdentityFile\"=~/.ssh/k"), QString("ServerAliveInterval\t=\t9")}) {
        SCOPED_TRACE(option.toStdString());
        ProcessOptions run;
        run.timeoutMs = 10000;
        const ProcessResult ssh = Process::run("/usr/bin/ssh", {"-G", "-F", "/dev/null", "-o", option, "example.org"}, run);
        ASSERT_TRUE(ssh.succeeded()) << ssh.standardError.toStdString();
        const QStringList lines = QString::fromUtf8(ssh.standardOutput).split('\n');
        const QVClientOptions::SSHOption read = QVClientOptions::sshOption(option);
        EXPECT_TRUE(lines.contains(read.key.toLower() + ' ' + read.value)) << read.key.toStdString() << " " << read.value.toStdString();
    }
}

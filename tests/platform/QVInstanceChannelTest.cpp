// One instance per user and display: later launches (threads here, each with its own channel,
// as separate processes would) hand their arguments to the first; a crashed instance's socket is
// replaced; a malformed request is ignored without stopping the channel.
#include "platform/QVInstanceChannel.h"

#include "platform/FileName.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalSocket>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class InstanceChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("XDG_RUNTIME_DIR", _runtime.path().toUtf8());
        qputenv("DISPLAY", ":test/1");
    }
    TestDir _runtime;
};

// Leaves a socket file nobody listens on, as a killed instance does.
void leaveStaleSocket(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::listen(fd, 1);
    ::close(fd);
}

TEST_F(InstanceChannelTest, LaterLaunchesReachTheFirst) {
    const QString path = QVInstanceChannel::socketPath();
    EXPECT_TRUE(path.startsWith(_runtime.path())) << path.toStdString();
    EXPECT_TRUE(QFileInfo(path).fileName().contains(QStringLiteral("_test_1"))) << "the display names the socket";
    leaveStaleSocket(path);
    ASSERT_TRUE(QFileInfo::exists(path));
    EXPECT_FALSE(QVInstanceChannel::handToRunning({QStringLiteral("a.html")}, QStringLiteral("/"), 500)) << "nobody listens";

    auto primary = std::make_unique<QVInstanceChannel>();
    ASSERT_EQ(primary->claimOrHand({}, {}), QVInstanceChannel::Role::Primary) << "the stale socket is replaced";
    QList<QStringList> received;
    QObject::connect(primary.get(), &QVInstanceChannel::argumentsReceived,
                     [&](const QStringList& arguments, const QString& folder) { received.append(QStringList(arguments) << folder); });

    // A malformed frame is dropped and the channel keeps serving.
    QLocalSocket rogue;
    rogue.connectToServer(path);
    ASSERT_TRUE(rogue.waitForConnected(2000));
    rogue.write(QByteArray("\x00\x00\x00\x04junk", 8));
    rogue.flush();

    constexpr int Launches = 20;
    std::atomic<int> handed{0};
    std::vector<std::thread> launches;
    for (int i = 0; i < Launches; ++i)
        launches.emplace_back([&, i] {
            // Names that are not UTF-8 (a Latin-1 é, a stray 0xFF) travel as the bytes they are.
            const QStringList arguments{QStringLiteral("file %1 é.html").arg(i), QStringLiteral("qvdt://open?file=/x"),
                                        FileName::decode("caf\xe9 " + QByteArray::number(i))};
            const QString folder = FileName::decode("/work\xff/" + QByteArray::number(i));
            // Half take the quick way first, as the executable does, and the long way only after it.
            if (i % 2 && QVInstanceChannel::handToRunning(arguments, folder, 10000)) {
                ++handed;
                return;
            }
            QVInstanceChannel channel;
            if (channel.claimOrHand(arguments, folder) == QVInstanceChannel::Role::Handed) ++handed;
        });
    const QDeadlineTimer deadline(30000);
    while (received.size() < Launches && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    for (std::thread& launch : launches) launch.join();
    EXPECT_EQ(handed.load(), Launches);
    ASSERT_EQ(received.size(), Launches);
    for (const QStringList& request : received) {
        ASSERT_EQ(request.size(), 4);
        const QString n = request[3].section(QLatin1Char('/'), -1);
        EXPECT_EQ(request[0], QStringLiteral("file %1 é.html").arg(n));
        EXPECT_EQ(request[1], QStringLiteral("qvdt://open?file=/x"));
        EXPECT_EQ(FileName::encode(request[2]), "caf\xe9 " + n.toLatin1());
        EXPECT_EQ(FileName::encode(request[3]), "/work\xff/" + n.toLatin1());
    }

    // Once the first instance quits, the next launch becomes the instance.
    primary.reset();
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(QVInstanceChannel::handToRunning({}, QStringLiteral("/"), 500));
    QVInstanceChannel next;
    EXPECT_EQ(next.claimOrHand({}, {}), QVInstanceChannel::Role::Primary);
}

}  // namespace

#include "TestCertificate.h"
#include "TestHttpServer.h"
#include "platform/core/HttpCall.h"

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>

/** The HTTP client's guard for fetches that must reach only the public Internet. */
class TestHttpCall : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void publicAddress_data();
    void publicAddress();
    void privateHostRefusedBeforeConnecting();
    void pinnedCertificate_data();
    void pinnedCertificate();
};

void TestHttpCall::publicAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("isPublic");
    QTest::newRow("public v4") << "93.184.216.34" << true;
    QTest::newRow("loopback") << "127.0.0.1" << false;
    QTest::newRow("another loopback") << "127.8.9.10" << false;
    QTest::newRow("10/8") << "10.1.2.3" << false;
    QTest::newRow("172.16/12") << "172.31.255.1" << false;
    QTest::newRow("just past 172.16/12") << "172.32.0.1" << true;
    QTest::newRow("192.168/16") << "192.168.0.1" << false;
    QTest::newRow("link-local, cloud metadata") << "169.254.169.254" << false;
    QTest::newRow("shared 100.64/10") << "100.100.1.1" << false;
    QTest::newRow("unspecified") << "0.0.0.0" << false;
    QTest::newRow("multicast") << "224.0.0.1" << false;
    QTest::newRow("public v6") << "2606:4700::1111" << true;
    QTest::newRow("v6 loopback") << "::1" << false;
    QTest::newRow("v6 unique local") << "fd12:3456::1" << false;
    QTest::newRow("v6 link-local") << "fe80::1" << false;
    QTest::newRow("v4-mapped loopback") << "::ffff:127.0.0.1" << false;
    QTest::newRow("v4-mapped public") << "::ffff:93.184.216.34" << true;
}

void TestHttpCall::publicAddress()
{
    QFETCH(QString, address);
    QFETCH(bool, isPublic);
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    const QByteArray text = address.toLatin1();
    if (inet_pton(AF_INET, text.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
    } else {
        QCOMPARE(inet_pton(AF_INET6, text.constData(), &v6->sin6_addr), 1);
        v6->sin6_family = AF_INET6;
    }
    QCOMPARE(IsPublicAddress(reinterpret_cast<const sockaddr*>(&storage)), isPublic);
}

void TestHttpCall::privateHostRefusedBeforeConnecting()
{
    TestHttpServer site;
    site.reply(200, "d1:ai1ee");
    HttpCall call;
    call.url = site.url() + QStringLiteral("/x.torrent");
    call.publicAddressesOnly = true;
    const HttpOutcome refused = PerformHttp(call);
    QVERIFY(!refused.completed);
    QCOMPARE(refused.failure, HttpFailure::NotPublic);
    QVERIFY(refused.error.contains(QStringLiteral("public")));
    QCOMPARE(site.requests().size(), 0);
    call.publicAddressesOnly = false;
    QCOMPARE(PerformHttp(call).status, 200L);
}

void TestHttpCall::pinnedCertificate_data()
{
    QTest::addColumn<QString>("pin"); // "own": the server's fingerprint
    QTest::addColumn<bool>("accepted");
    QTest::newRow("its own fingerprint") << "own" << true;
    QTest::newRow("its own, upper case") << "OWN" << true;
    QTest::newRow("another certificate's") << "a3f8822c97fbfe5bd00760cf8e6b75c4284f657d" << false;
    QTest::newRow("none pinned") << "" << false;
}

void TestHttpCall::pinnedCertificate()
{
    QFETCH(QString, pin);
    QFETCH(bool, accepted);
    TestCertificate tls;
    QVERIFY2(!tls.cert.empty(), "openssl made no certificate");
    TestHttpServer site(tls.key, tls.cert);
    site.reply(200, "d1:ai1ee");
    HttpCall call;
    call.url = site.url() + QStringLiteral("/x.torrent");
    if (pin.compare(u"own", Qt::CaseInsensitive) == 0)
        call.pinnedCertificates << (pin == u"OWN" ? tls.sha1().toUpper() : tls.sha1());
    else if (!pin.isEmpty())
        call.pinnedCertificates << pin.toLatin1();
    const HttpOutcome out = PerformHttp(call);
    QCOMPARE(out.completed, accepted);
    if (accepted) {
        QCOMPARE(out.body, QByteArray("d1:ai1ee"));
    } else {
        QCOMPARE(out.failure, HttpFailure::Unreachable);
        QCOMPARE(site.requests().size(), 0); // refused in the handshake, before any request
    }
}

QTEST_GUILESS_MAIN(TestHttpCall)
#include "tst_httpcall.moc"

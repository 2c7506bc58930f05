#include "serve/HttpService.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

/** How the services' HTTP server frames requests: strictly, and never leaving a client with a
 *  closed connection and no answer. */
class TestFraming : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void framing_data();
    void framing();
};

void TestFraming::framing_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("targetLength"); // 0: /healthz
    QTest::newRow("plain") << QByteArray() << 200 << 0;
    // Near the server library's head limit: answered, never a closed connection.
    for (int length : {16 * 1024 + 1, 32 * 1024, 32 * 1024 + 300, 48 * 1024})
        QTest::addRow("target of %d bytes", length) << QByteArray() << 414 << length;
    QTest::newRow("one length") << QByteArray("Content-Length: 0\r\n") << 200 << 0;
    QTest::newRow("two lengths that differ")
        << QByteArray("Content-Length: 0\r\nContent-Length: 2\r\n") << 400 << 0;
    QTest::newRow("two equal lengths")
        << QByteArray("Content-Length: 0\r\nContent-Length: 0\r\n") << 400 << 0;
    QTest::newRow("space before the colon") << QByteArray("Content-Length : 0\r\n") << 400 << 0;
    QTest::newRow("length not a number") << QByteArray("Content-Length: 0x\r\n") << 400 << 0;
    QTest::newRow("unknown transfer coding")
        << QByteArray("Transfer-Encoding: gzip\r\n") << 400 << 0;
    QTest::newRow("coding and length")
        << QByteArray("Transfer-Encoding: chunked\r\nContent-Length: 0\r\n") << 400 << 0;
}

void TestFraming::framing()
{
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(int, targetLength);
    HttpService service([](const ServiceRequest&, ServiceResponse& r) { r.body = "ok\n"; });
    QVERIFY(service.start({}));
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(service.port()));
    QVERIFY(socket.waitForConnected(2000));
    const QByteArray target =
        targetLength ? "/moviejk/Find.php?url=" + QByteArray(targetLength - 22, 'a') : "/healthz";
    socket.write("GET " + target + " HTTP/1.1\r\nHost: relay\r\n" + headers + "\r\n");
    QByteArray answer;
    QTRY_VERIFY_WITH_TIMEOUT((answer += socket.readAll()).contains("\r\n\r\n"), 3000);
    QVERIFY2(answer.startsWith("HTTP/1.1 " + QByteArray::number(status)), answer.constData());
    if (status == 400) // and the connection does not stay open for a body it cannot frame
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 3000);
}

QTEST_GUILESS_MAIN(TestFraming)
#include "tst_framing.moc"

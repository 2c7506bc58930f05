#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <string>

/** A key and a self-signed certificate for 127.0.0.1, made now with openssl. */
struct TestCertificate {
    QTemporaryDir dir;
    std::string key, cert;
    QString certFile() const { return dir.filePath(QStringLiteral("cert.pem")); }
    TestCertificate()
    {
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                       "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                       dir.filePath(QStringLiteral("key.pem")), "-out", certFile()});
        openssl.waitForFinished(30000);
        QFile k(dir.filePath(QStringLiteral("key.pem"))), c(certFile());
        if (k.open(QIODevice::ReadOnly)) key = k.readAll().toStdString();
        if (c.open(QIODevice::ReadOnly)) cert = c.readAll().toStdString();
    }
    /** The SHA-1 of the certificate's DER bytes, in hex: what a browser shows as its
     *  fingerprint. */
    QByteArray sha1() const
    {
        QByteArray pem = QByteArray::fromStdString(cert);
        const int begin = pem.indexOf('\n') + 1;
        pem = pem.mid(begin, pem.indexOf("-----END") - begin);
        return QCryptographicHash::hash(QByteArray::fromBase64(pem), QCryptographicHash::Sha1)
            .toHex();
    }
};

#include "relay/gateway/Credentials.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

/** credentials_file: settings kept where only the relay's user can read them. */
class TestCredentials : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::string Write(const char* name, const QByteArray& text, mode_t mode)
    {
        const QString path = dir_.filePath(QString::fromLatin1(name));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly)) file.write(text);
        file.close();
        ::chmod(QFile::encodeName(path).constData(), mode);
        return path.toStdString();
    }

private Q_SLOTS:
    void reads()
    {
        const std::string path = Write("good",
                                       "# the tracker\n\nusername = alice\n"
                                       "password =  p=ss word \r\napikey=k\n",
                                       0600);
        std::map<std::string, std::string> values{{"username", "old"}, {"sort", "size"}};
        std::string error;
        QVERIFY2(ReadCredentialsFile(path, values, error), error.c_str());
        QCOMPARE(values.at("username"), std::string("alice"));
        QCOMPARE(values.at("password"), std::string("p=ss word"));
        QCOMPARE(values.at("apikey"), std::string("k"));
        QCOMPARE(values.at("sort"), std::string("size")); // what was there stays
    }

    void refuses_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("why");
        QTest::newRow("group can read") << QByteArray("password = x\n") << 0640 << "can be read";
        QTest::newRow("everyone can read") << QByteArray("password = x\n") << 0604 << "chmod 600";
        QTest::newRow("no equals sign")
            << QByteArray("# ok\npassword x\n") << 0600 << ":2: not KEY = VALUE";
        QTest::newRow("a key with a space")
            << QByteArray("pass word = x\n") << 0600 << ":1: not KEY = VALUE";
        QTest::newRow("a key twice")
            << QByteArray("password = x\npassword = y\n") << 0600 << ":2: password is given twice";
        QTest::newRow("larger than credentials")
            << QByteArray(70000, 'a') << 0600 << "is not a credentials file";
    }
    void refuses()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, mode);
        QFETCH(QString, why);
        const std::string path = Write("bad", text, mode_t(mode));
        std::map<std::string, std::string> values;
        std::string error;
        QVERIFY(!ReadCredentialsFile(path, values, error));
        QVERIFY2(QString::fromStdString(error).contains(why), error.c_str());
        QVERIFY2(error.find(path) != std::string::npos, error.c_str()); // names the file
        QVERIFY(error.find("= x") == std::string::npos && error.find(" y") == std::string::npos);
    }

    void refusesALink()
    {
        const std::string target = Write("target", "password = x\n", 0600);
        const std::string link = dir_.filePath(QStringLiteral("link")).toStdString();
        QCOMPARE(::symlink(target.c_str(), link.c_str()), 0);
        std::map<std::string, std::string> values;
        std::string error;
        QVERIFY(!ReadCredentialsFile(link, values, error));
        QVERIFY(values.empty());
    }
};

QTEST_GUILESS_MAIN(TestCredentials)
#include "tst_credentials.moc"

#pragma once

#include <QByteArray>
#include <QString>

#include <stdexcept>

/** Raised by ByteStream when an operation cannot be carried out. */
struct StreamError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/** A stream that takes bytes and reads them back as text in a named character set. */
class ByteStream {
public:
    enum { TypeBinary = 1, TypeText = 2 };
    enum { ModeReadWrite = 3 };

    void setType(int type);
    void setMode(int mode) { mode_ = mode; }
    void Open();
    void Write(const QByteArray& bytes);
    void setPosition(qint64 position);
    void setCharset(const QString& charset) { charset_ = charset; }
    /** Decodes everything from the position on; unmappable bytes become U+FFFD. */
    QString ReadText();
    void Close();

private:
    QByteArray data_;
    qint64 position_ = 0;
    int type_ = TypeBinary;
    int mode_ = 0;
    bool open_ = false;
    QString charset_;
};

/** Decodes GB18030 (and so GB2312 and GBK); an incomplete sequence at the end becomes U+FFFD. */
QString DecodeGb18030(QByteArrayView bytes);

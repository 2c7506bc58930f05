#include "platform/core/ByteStream.h"

#include <QStringDecoder>

namespace {

bool InRange(unsigned char b, unsigned char lo, unsigned char hi)
{
    return b >= lo && b <= hi;
}

/** Length of the prefix that holds only whole GB18030 sequences. */
qsizetype CompletePrefix(QByteArrayView bytes)
{
    qsizetype i = 0;
    const qsizetype n = bytes.size();
    while (i < n) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        qsizetype len = 1;
        if (InRange(b, 0x81, 0xFE)) {
            if (i + 1 >= n) return i;
            const auto b2 = static_cast<unsigned char>(bytes[i + 1]);
            len = InRange(b2, 0x30, 0x39) ? 4 : 2;
            if (i + len > n) return i;
        }
        i += len;
    }
    return n;
}

QString CanonicalCharset(const QString& name)
{
    const QString upper = name.trimmed().toUpper();
    // GB18030 is a superset of both, so titles outside strict GB2312 survive.
    if (upper == u"GB2312" || upper == u"GBK" || upper == u"CP936" || upper == u"GB18030")
        return QStringLiteral("GB18030");
    return name.trimmed();
}

} // namespace

QString DecodeGb18030(QByteArrayView bytes)
{
    const qsizetype whole = CompletePrefix(bytes);
    QStringDecoder decoder("GB18030");
    QString text = decoder.decode(bytes.first(whole));
    if (whole < bytes.size()) text.append(QChar::ReplacementCharacter);
    return text;
}

void ByteStream::setType(int type)
{
    if (type != TypeBinary && type != TypeText) throw StreamError("unknown stream type");
    type_ = type;
}

void ByteStream::Open()
{
    data_.clear();
    position_ = 0;
    open_ = true;
}

void ByteStream::Write(const QByteArray& bytes)
{
    if (!open_ || type_ != TypeBinary || mode_ != ModeReadWrite)
        throw StreamError("stream not open for binary writing");
    data_.append(bytes);
    position_ = data_.size();
}

void ByteStream::setPosition(qint64 position)
{
    if (!open_ || position < 0 || position > data_.size())
        throw StreamError("position out of range");
    position_ = position;
}

QString ByteStream::ReadText()
{
    if (!open_ || type_ != TypeText) throw StreamError("stream not open for text reading");
    const QByteArrayView rest = QByteArrayView(data_).sliced(position_);
    position_ = data_.size();
    const QString charset = CanonicalCharset(charset_);
    if (charset == u"GB18030") return DecodeGb18030(rest);
    QStringDecoder decoder(charset.toLatin1().constData());
    if (!decoder.isValid()) throw StreamError("unknown character set");
    return decoder.decode(rest);
}

void ByteStream::Close()
{
    open_ = false;
    data_.clear();
}

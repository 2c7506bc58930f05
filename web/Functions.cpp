#include "web/Functions.h"

#include "platform/core/ByteStream.h"
#include "platform/core/HttpRequest.h"
#include "web/Functions1.h"

#include <exception>

FetchResult Fetch(const QString& url, const HttpLimits& limits)
{
    FetchResult result;
    HttpRequest request(limits);
    try {
        request.Open(QStringLiteral("GET"), url, false);
        request.send();
    } catch (const std::exception&) {
        // A failed step is not acted on here: the ready state below decides.
    }
    // 502, 503 and 504 are the relay saying it could not reach the site: no answer about the
    // film, so not a list of no hits either.
    const long status = request.status();
    if (request.ReadyState() != 4 || status == 502 || status == 503 || status == 504) {
        result.text = QStringLiteral("无法连接服务器");
        return result;
    }
    result.completed = true;
    try {
        result.text = BytesToText(request.responseBody(), QStringLiteral("GB2312"));
    } catch (const std::exception&) {
        result.text.clear();
    }
    ReplyText.assign(result.text);
    return result;
}

QString FetchText(const QString& url, const HttpLimits& limits)
{
    return Fetch(url, limits).text;
}

QString BytesToText(const QByteArray& bytes, const QString& charset)
{
    ByteStream stream;
    stream.setType(ByteStream::TypeBinary);
    stream.setMode(ByteStream::ModeReadWrite);
    stream.Open();
    stream.Write(bytes);
    stream.setPosition(0);
    stream.setType(ByteStream::TypeText);
    stream.setCharset(charset);
    QString text = stream.ReadText();
    stream.Close();
    return text;
}

QString UrlEncodeUtf8(const QString& text)
{
    if (text.isEmpty()) return text;
    static const char16_t hex[] = u"0123456789ABCDEF";
    QString result;
    result.reserve(text.size() * 3);
    auto escape = [&](unsigned byte) {
        result.append(u'%');
        result.append(QChar(hex[byte >> 4]));
        result.append(QChar(hex[byte & 0xF]));
    };
    for (QChar ch : text) {
        const unsigned c = ch.unicode();
        if (c < 0x80) {
            result.append(ch);
        } else if (c < 0x800) {
            escape(0xC0 | (c >> 6));
            escape(0x80 | (c & 0x3F));
        } else {
            escape(0xE0 | (c >> 12));
            escape(0x80 | ((c >> 6) & 0x3F));
            escape(0x80 | (c & 0x3F));
        }
    }
    return result;
}

#pragma once

#include "platform/core/CursorProbe.h"
#include "platform/core/HttpCall.h"

#include <QByteArray>
#include <QString>

class QObject;

/** Result of a page fetch; completed is false when the request did not complete. */
struct FetchResult {
    QString text;
    bool completed = false;
};

/** GETs the URL, blocking the calling thread without processing events; decodes the body as
 *  GB2312 (through the GB18030 table) into ReplyText. ReplyText is left untouched when the
 *  request does not complete or the relay answers that it could not reach the site (502, 503,
 *  504), and set empty when the body cannot be decoded. */
FetchResult Fetch(const QString& url, const HttpLimits& limits = {});
/** Fetch's text: the decoded reply, or "无法连接服务器" when the request did not complete. */
QString FetchText(const QString& url, const HttpLimits& limits = {});
/** The whole byte array decoded in the character set; throws StreamError when it cannot be. */
QString BytesToText(const QByteArray& bytes, const QString& charset);
/** Non-ASCII UTF-16 code units as percent-escaped UTF-8, one unit at a time; ASCII unchanged. */
QString UrlEncodeUtf8(const QString& text);
/** True when the topmost window under the pointer is the given window. */
bool IsCursorOverWindow(const QObject* window, const CursorProbe& desktop);

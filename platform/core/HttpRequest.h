#pragma once

#include "platform/core/HttpCall.h"

/** A synchronous HTTP request object: Open, send, ReadyState, status and responseBody, nothing
 * more. */
class HttpRequest {
public:
    explicit HttpRequest(HttpLimits limits = {}) : limits_(limits) {}

    /** Prepares the request; only synchronous requests (async false) are offered. */
    void Open(const QString& method, const QString& url, bool async);
    /** Performs the request on the calling thread; no window events are processed meanwhile. */
    void send();
    /** 1 once opened, 4 once the reply is complete. */
    int ReadyState() const { return readyState_; }
    QByteArray responseBody() const { return outcome_.body; }
    /** The HTTP status of a completed reply. */
    long status() const { return outcome_.status; }

private:
    HttpLimits limits_;
    HttpCall call_;
    HttpOutcome outcome_;
    int readyState_ = 0;
};

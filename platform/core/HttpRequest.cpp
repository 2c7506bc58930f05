#include "platform/core/HttpRequest.h"

#include <stdexcept>

void HttpRequest::Open(const QString& method, const QString& url, bool async)
{
    if (async) throw std::invalid_argument("only synchronous requests are supported");
    call_ = HttpCall{};
    call_.method = method.toLatin1();
    call_.url = url;
    call_.limits = limits_;
    outcome_ = HttpOutcome{};
    readyState_ = 1;
}

void HttpRequest::send()
{
    if (readyState_ != 1) throw std::logic_error("send before Open");
    outcome_ = PerformHttp(call_);
    if (outcome_.completed) readyState_ = 4;
}

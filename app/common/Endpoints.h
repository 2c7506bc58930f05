#pragma once

#include "platform/core/HttpCall.h"

#include <QString>

#include <optional>

/** Where the program's requests go, and how long they may take. */
struct Endpoints {
    QString relay;                      // http://host:port, no trailing slash
    QString site;                       // http://host:port, no trailing slash
    HttpLimits fetch;                   // page fetches through the relay
    std::optional<HttpLimits> download; // unset: the transfer control's own 60 s time-out
};

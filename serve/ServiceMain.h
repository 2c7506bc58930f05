#pragma once

#include "serve/HttpService.h"

#include <functional>
#include <string>

/** The access-log line of one request: client, quoted request line (made log-safe), status,
 *  body bytes, time taken and a note (what the service has to say, "-" for nothing). */
std::string AccessLogLine(const ServiceRequest& request, const ServiceResponse& response, double ms,
                          const std::string& note = "-");

/** A service's life after its command line: starts listening (false: the address is taken or
 *  bad, status 1), says "NAME: started DETAIL", waits for SIGTERM or SIGINT (running reload
 *  for each SIGHUP meanwhile, when given), stops taking connections, runs quiescing (answers
 *  under way may then give up), lets what is under way go out for 0.7 s and stops. Returns
 *  the process's exit status. */
int RunService(const std::string& name, HttpService& service, const HttpService::Options& options,
               const std::function<std::string(int port)>& detail,
               const std::function<void()>& quiescing = {},
               const std::function<void()>& reload = {});

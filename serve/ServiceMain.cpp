#include "serve/ServiceMain.h"

#include "serve/TextHelpers.h"

#include <cstdio>

std::string AccessLogLine(const ServiceRequest& request, const ServiceResponse& response, double ms,
                          const std::string& note)
{
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, " %d %zu %.1fms ", response.status, response.body.size(),
                  ms);
    return request.remote + " \"" + LogSafe(request.method) + " " + LogSafe(request.target) + "\"" +
           numbers + note;
}

int RunService(const std::string& name, HttpService& service, const HttpService::Options& options,
               const std::function<std::string(int port)>& detail,
               const std::function<void()>& quiescing, const std::function<void()>& reload)
{
    if (!service.start(options)) return 1;
    std::fprintf(stderr, "%s: started %s\n", name.c_str(), detail(service.port()).c_str());
    WaitForTermination(reload);
    std::fprintf(stderr, "%s: stopping\n", name.c_str());
    service.quiesce();
    if (quiescing) quiescing();
    service.stop(std::chrono::milliseconds(700));
    std::fprintf(stderr, "%s: stopped\n", name.c_str());
    return 0;
}

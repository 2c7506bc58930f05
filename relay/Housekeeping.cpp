#include "relay/Housekeeping.h"

using namespace std::chrono_literals;

Housekeeping::Housekeeping(std::function<Round()> current) : current_(std::move(current))
{
    thread_ = std::jthread([this](const std::stop_token& stop) {
        std::unique_lock lock(mutex_); // only for the timed wait: nothing else takes it
        while (!stop.stop_requested()) {
            RunCanaries(current_(), stop);
            tick_.wait_for(lock, stop, 1s, [] { return false; });
            if (const Round round = current_(); round.everySecond) round.everySecond();
        }
    });
}

Housekeeping::~Housekeeping() = default;

void Housekeeping::RunCanaries(const Round& round, const std::stop_token& stop)
{
    const std::vector<SiteProfile>& sites = round.config->sites;
    for (size_t i = 0; i < sites.size() && !stop.stop_requested(); ++i) {
        const SiteProfile& site = sites[i];
        const auto now = std::chrono::steady_clock::now();
        // A site whose breaker is open is tried by the relay itself once its wait is over,
        // never by a client's request: nobody else can take the trial or time it.
        const bool trial = round.health->TrialDue(i);
        // A cookie login is tested at start and with every canary, whether or not one is set.
        const bool regular = !site.canary.empty() || site.LogsIn() || site.passwordLogin;
        const auto due = canaryDue_.try_emplace(site.name, now).first;
        if (!trial && (!regular || now < due->second)) continue;
        if (regular) due->second = now + std::chrono::seconds(site.canarySeconds);
        const Outcome probe = round.search(i, site.canary);
        // The relay was busy or stopping, or only a login was tested: nothing to record.
        if (probe.status == 503 || probe.status == 0) continue;
        round.health->RecordCanary(i, !probe.siteDown, probe.status, probe.ms, probe.rows,
                                   probe.error);
    }
}

#include "relay/Housekeeping.h"

using namespace std::chrono_literals;

Housekeeping::Housekeeping(const RelayConfig& config, SiteHealth& health, Search search,
                           std::function<void()> everySecond)
    : config_(config), health_(health), search_(std::move(search)),
      everySecond_(std::move(everySecond)),
      canaryDue_(config.sites.size(), std::chrono::steady_clock::now())
{
    thread_ = std::jthread([this](const std::stop_token& stop) {
        std::unique_lock lock(mutex_); // only for the timed wait: nothing else takes it
        while (!stop.stop_requested()) {
            RunCanaries(stop);
            tick_.wait_for(lock, stop, 1s, [] { return false; });
            everySecond_();
        }
    });
}

Housekeeping::~Housekeeping() = default;

void Housekeeping::RunCanaries(const std::stop_token& stop)
{
    for (size_t i = 0; i < config_.sites.size() && !stop.stop_requested(); ++i) {
        const SiteProfile& site = config_.sites[i];
        const auto now = std::chrono::steady_clock::now();
        // A site whose breaker is open is tried by the relay itself once its wait is over,
        // never by a client's request: nobody else can take the trial or time it.
        const bool trial = health_.TrialDue(i);
        // A cookie login is tested at start and with every canary, whether or not one is set.
        const bool regular = !site.canary.empty() || site.LogsIn() || site.passwordLogin;
        if (!trial && (!regular || now < canaryDue_[i])) continue;
        if (regular) canaryDue_[i] = now + std::chrono::seconds(site.canarySeconds);
        const Outcome probe = search_(i, site.canary);
        // The relay was busy or stopping, or only a login was tested: nothing to record.
        if (probe.status == 503 || probe.status == 0) continue;
        health_.RecordCanary(i, !probe.siteDown, probe.status, probe.ms, probe.rows, probe.error);
    }
}

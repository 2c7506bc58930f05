#include "relay/gateway/SiteSession.h"

#include "platform/core/HttpCookieJar.h"
#include "relay/definitions/CompiledDefinition.h"
#include "relay/definitions/LoginBlock.h"

#include <sstream>

namespace {

using Kind = LoginOutcome::Kind;

bool Secure(const SiteProfile& site)
{
    return site.scheme == "https";
}

/** A login held up by others' for longer than the request may wait. */
RelayFailure Busy(const SiteProfile& site)
{
    return {504, "site " + site.name + ": no answer before the deadline while it logs in"};
}

} // namespace

SiteSession::SiteSession(const SiteProfile& site, const GatewayConfig& gateway, HttpCookieJar& jar,
                         Login login, Report report, Clock clock)
    : site_(site), retry_(gateway.loginRetry),
      command_("run: reelmate-relay" +
               (gateway.configFile.empty() ? std::string() : " --config " + gateway.configFile) +
               " --login " + site.name + " (as the owner of " + gateway.magnet.stateDir + ")"),
      jar_(jar), login_(std::move(login)), report_(std::move(report)), clock_(std::move(clock)),
      store_(gateway.magnet.stateDir, site.name)
{
}

void SiteSession::Rebind(Login login, Report report)
{
    const std::lock_guard lock(bindMutex_);
    login_ = std::move(login);
    report_ = std::move(report);
}

LoginOutcome SiteSession::CallLogin(Deadline deadline)
{
    Login login;
    {
        const std::lock_guard lock(bindMutex_);
        login = login_;
    }
    return login(deadline);
}

void SiteSession::Tell(const LoginOutcome& outcome)
{
    Report report;
    {
        const std::lock_guard lock(bindMutex_);
        report = report_;
    }
    report(outcome);
}

bool SiteSession::AdoptStored()
{
    const unsigned long long version = store_.Version();
    if (version == 0 || version == version_) return false;
    const SessionStore::Session stored = store_.Load();
    if (stored.version == 0 || stored.host != site_.host) return false;
    jar_.Clear();
    std::istringstream pairs(stored.cookies);
    for (std::string pair; std::getline(pairs, pair, ';');) {
        const size_t start = pair.find_first_not_of(' ');
        if (start != std::string::npos) jar_.Store(site_.host, Secure(site_), pair.substr(start));
    }
    version_ = stored.version;
    haveSession_ = true;
    needsPerson_ = false;
    refusedAt_ = {}; // a login made elsewhere since: the refusal is over
    ++generation_;
    Tell({});
    return true;
}

bool SiteSession::HeldOff(std::string& reason, long long& seconds) const
{
    auto at = refusedAt_;
    reason = refusedReason_;
    std::chrono::system_clock::time_point stored;
    std::string storedReason;
    // Relays sharing the state folder share the hold-off: the refusal may be another's.
    if (store_.LastRefusal(stored, storedReason) && stored > at) {
        at = stored;
        reason = storedReason;
    }
    if (at == std::chrono::system_clock::time_point{}) return false;
    seconds = std::chrono::duration_cast<std::chrono::seconds>(at + retry_ - clock_()).count();
    return seconds > 0;
}

RelayFailure SiteSession::Ready(Deadline deadline, unsigned long long& generation)
{
    std::unique_lock lock(mutex_, std::defer_lock);
    if (!lock.try_lock_until(deadline)) return Busy(site_);
    AdoptStored(); // a session another relay, or --login, made meanwhile
    if (haveSession_) {
        generation = generation_;
        return {};
    }
    return LogIn(deadline, generation);
}

RelayFailure SiteSession::Renew(Deadline deadline, unsigned long long& generation)
{
    std::unique_lock lock(mutex_, std::defer_lock);
    if (!lock.try_lock_until(deadline)) return Busy(site_);
    if (generation != generation_ || AdoptStored()) { // renewed meanwhile
        generation = generation_;
        return {};
    }
    haveSession_ = false;
    return LogIn(deadline, generation);
}

void SiteSession::Keep()
{
    const std::lock_guard lock(mutex_);
    Took();
}

void SiteSession::Took()
{
    store_.Save(site_.host, jar_.HeaderFor(site_.host, Secure(site_)));
    store_.ClearRefusal();
    version_ = store_.Version();
    haveSession_ = true;
    needsPerson_ = false;
    refusedAt_ = {};
    ++generation_;
}

RelayFailure SiteSession::LogIn(Deadline deadline, unsigned long long& generation)
{
    std::string reason;
    long long seconds = 0;
    if (HeldOff(reason, seconds)) {
        LoginOutcome held;
        held.kind = needsPerson_ ? Kind::NeedsPerson : Kind::Refused;
        held.reason = needsPerson_ ? command_ : reason;
        Tell(held);
        return {502,
                "site " + site_.name + ": " +
                    (needsPerson_ ? "needs a person to log in: " + command_
                                  : "the login failed (" + reason + "); it is tried again in " +
                                        std::to_string(seconds) + " s")};
    }
    // One relay at a time logs the site in; the others then take its session.
    const SessionStore::Lock cluster = store_.Exclusive(deadline);
    if (!cluster && store_.ok()) return Busy(site_);
    if (AdoptStored()) {
        generation = generation_;
        return {};
    }
    if (HeldOff(reason, seconds)) {
        Tell({Kind::Refused, reason, 0});
        return {502, "site " + site_.name + ": the login failed (" + reason + ")"};
    }
    jar_.Clear();
    for (const std::string& cookie : site_.definition->login->cookies)
        jar_.Store(site_.host, Secure(site_), cookie);
    LoginOutcome outcome = CallLogin(deadline);
    switch (outcome.kind) {
    case Kind::LoggedIn:
        Took();
        generation = generation_;
        Tell(outcome);
        return {};
    case Kind::Refused:
        refusedAt_ = clock_();
        refusedReason_ = outcome.reason;
        store_.RecordRefusal(refusedAt_, outcome.reason);
        Tell(outcome);
        return {502, "site " + site_.name + ": the login failed (" + outcome.reason + ")"};
    case Kind::NeedsPerson:
        refusedAt_ = clock_(); // the login page is not asked again at every search
        refusedReason_ = command_;
        needsPerson_ = true;
        outcome.reason = command_;
        Tell(outcome);
        return {502, "site " + site_.name + ": needs a person to log in: " + command_};
    case Kind::SiteFault:
        break;
    }
    Tell(outcome);
    RelayFailure failure{502, "site " + site_.name + ": login: " + outcome.reason};
    failure.siteDown = true;
    return failure;
}

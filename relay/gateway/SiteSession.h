#pragma once

#include "relay/RelayConfig.h"
#include "relay/RelayFailure.h"
#include "relay/gateway/SessionStore.h"
#include "relay/gateway/SiteLogin.h"

#include <chrono>
#include <functional>
#include <mutex>

class HttpCookieJar;

/** A password login's session for one site: taken from the state folder, else made by logging
 *  in (one login at a time, across the relays that share the folder), made again once the site
 *  refuses it, and not tried again for a while after the site refused the login itself. */
class SiteSession {
public:
    using Deadline = std::chrono::steady_clock::time_point;
    using Login = std::function<LoginOutcome(Deadline)>;
    /** Told each login's outcome (and a session another relay or --login made, as LoggedIn). */
    using Report = std::function<void(const LoginOutcome&)>;
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    SiteSession(const SiteProfile& site, const GatewayConfig& gateway, HttpCookieJar& jar,
                Login login, Report report, Clock clock = &std::chrono::system_clock::now);

    /** Before a request to the site: the session to send, logging in when there is none.
     *  generation names that session, for Renew. */
    RelayFailure Ready(Deadline deadline, unsigned long long& generation);
    /** The site refused the session of generation: logs in again, unless another request did
     *  meanwhile. */
    RelayFailure Renew(Deadline deadline, unsigned long long& generation);
    /** A login made elsewhere (--login): kept for this relay and the others. */
    void Keep();

    /** A reload carried the site over to another gateway: its logins and reports go there. */
    void Rebind(Login login, Report report);

    SessionStore& store() { return store_; }

private:
    RelayFailure LogIn(Deadline deadline, unsigned long long& generation);
    /** Takes the stored session when it is newer than the one in use; true when it did. */
    bool AdoptStored();
    /** The refusal still holding off logins, if any. */
    bool HeldOff(std::string& reason, long long& seconds) const;
    /** The jar's cookies are a new session: stored for the other relays, in use from now. */
    void Took();
    LoginOutcome CallLogin(Deadline deadline);
    void Tell(const LoginOutcome& outcome);

    const SiteProfile site_; // a copy: the configuration it came from may be reloaded away
    std::chrono::seconds retry_;
    std::string command_; // what a person runs to log the site in
    HttpCookieJar& jar_;
    std::mutex bindMutex_; // over login_ and report_, which a reload may change
    Login login_;
    Report report_;
    Clock clock_;
    SessionStore store_;
    std::timed_mutex mutex_; // one login at a time in this relay
    unsigned long long generation_ = 1;
    unsigned long long version_ = 0; // of the stored session in use
    bool haveSession_ = false;
    bool needsPerson_ = false;
    std::chrono::system_clock::time_point refusedAt_{};
    std::string refusedReason_;
};

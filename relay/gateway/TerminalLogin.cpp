#include "relay/gateway/TerminalLogin.h"

#include "platform/core/HttpCookieJar.h"
#include "relay/RowEncoding.h"
#include "relay/definitions/LoginBlock.h"
#include "relay/gateway/SiteLogin.h"
#include "relay/gateway/SiteSearch.h"
#include "relay/gateway/SiteSession.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kMaxRedirects = 5;

/** The site's page, redirects within the site followed with the cookie jar. */
FetchedPage FetchFollowing(const RelayConfig& config, const SiteProfile& site, HttpCookieJar& jar,
                           SiteRequest request, bool follow)
{
    static const std::atomic_bool kRunning{false};
    request.site = &site;
    request.publicOnly = !site.privateBase;
    for (int hop = 0;; ++hop) {
        FetchedPage page;
        if (!SameSite(site, ParseOrigin(request.url))) {
            page.url = request.url;
            page.failure = {403, "forbidden: the site sends the login elsewhere"};
            return page;
        }
        request.cookies = &jar;
        page = FetchSitePage(request, config, kRunning);
        page.url = request.url;
        if (page.status < 300 || page.status >= 400 || !follow) return page;
        if (hop == kMaxRedirects || !IsWebUrl(page.location)) {
            page.failure = {502, "the site redirects too often, or to no web page"};
            return page;
        }
        if (request.method == "POST" && page.status != 307 && page.status != 308) {
            request.method = "GET";
            request.body.clear();
            request.headers.clear();
        }
        request.url = page.location;
    }
}

std::string Extension(const std::string& contentType, const QByteArray& image)
{
    if (image.startsWith("\x89PNG")) return ".png";
    if (image.startsWith("GIF8")) return ".gif";
    if (image.startsWith("\xff\xd8")) return ".jpg";
    if (contentType.find("svg") != std::string::npos) return ".svg";
    return ".img";
}

/** The image inline, for terminals that show images (iTerm2's and kitty's escapes). */
void ShowInline(const QByteArray& image, bool png, std::FILE* err)
{
    const char* program = std::getenv("TERM_PROGRAM");
    const char* term = std::getenv("TERM");
    if (!isatty(fileno(err))) return;
    if (program &&
        (std::strcmp(program, "iTerm.app") == 0 || std::strcmp(program, "WezTerm") == 0)) {
        std::fprintf(err, "\033]1337;File=inline=1;size=%lld:%s\a\n", (long long)image.size(),
                     image.toBase64().constData());
    } else if (png && term && std::strstr(term, "kitty")) {
        const QByteArray data = image.toBase64();
        for (qsizetype at = 0; at < data.size(); at += 4096) {
            const bool last = at + 4096 >= data.size();
            std::fprintf(err, "\033_G%sm=%d;%s\033\\", at == 0 ? "a=T,f=100," : "", last ? 0 : 1,
                         data.mid(at, 4096).constData());
        }
        std::fprintf(err, "\n");
    }
}

/** The captcha saved beside the state, its path told, its answer read from in. */
bool AskPerson(const std::string& folder, const std::string& site, const QByteArray& image,
               const std::string& contentType, std::FILE* in, std::FILE* err, std::string& answer)
{
    const std::string ext = Extension(contentType, image);
    const std::string path = folder + "/captcha-" + site + ext;
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, image.constData(), size_t(image.size())) != image.size()) {
        if (fd >= 0) ::close(fd);
        std::fprintf(err, "cannot write the captcha to %s\n", path.c_str());
        return false;
    }
    ::close(fd);
    std::fprintf(err, "The captcha is in %s\n", path.c_str());
    ShowInline(image, ext == ".png", err);
    const bool read = AskLine("What does it say? ", in, err, false, answer);
    ::unlink(path.c_str()); // of no use once answered
    return read && !answer.empty();
}

} // namespace

bool AskLine(const std::string& prompt, std::FILE* in, std::FILE* err, bool hidden,
             std::string& line)
{
    if (!prompt.empty()) {
        std::fprintf(err, "%s", prompt.c_str());
        std::fflush(err);
    }
    termios before{};
    const bool quiet = hidden && isatty(fileno(in)) && tcgetattr(fileno(in), &before) == 0;
    if (quiet) {
        termios silent = before;
        silent.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(fileno(in), TCSAFLUSH, &silent);
    }
    char buffer[1024];
    const bool read = std::fgets(buffer, sizeof buffer, in) != nullptr;
    if (quiet) {
        tcsetattr(fileno(in), TCSAFLUSH, &before);
        std::fprintf(err, "\n"); // the line break the terminal did not echo
    }
    line = read ? buffer : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return read;
}

int TerminalLogin(const RelayConfig& config, const std::string& siteName, std::FILE* in,
                  std::FILE* err)
{
    const SiteProfile* site = nullptr;
    for (const SiteProfile& s : config.sites)
        if (s.name == siteName) site = &s;
    if (!site) {
        std::fprintf(err, "no site named %s in the configuration\n", siteName.c_str());
        return 2;
    }
    if (!site->passwordLogin) {
        std::fprintf(err, "site %s does not log in with a password or a form\n", siteName.c_str());
        return 2;
    }
    // A one-time code the configuration cannot hold: asked for now.
    SiteProfile profile = *site;
    for (const std::string& name : LoginSettings(*site->definition)) {
        if (!OneTimeSetting(name) || !profile.settings.count(name) ||
            !profile.settings[name].empty())
            continue;
        std::string code;
        AskLine(name + " (a one-time code; empty for none): ", in, err, false, code);
        profile.settings[name] = code;
    }
    site = &profile;
    HttpCookieJar jar;
    // A person reads the captcha meanwhile; each request keeps the site's own time limits.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    SiteSession session(
        *site, config.gateway, jar, [](SiteSession::Deadline) { return LoginOutcome{}; },
        [](const LoginOutcome&) {});
    if (!session.store().ok()) {
        std::fprintf(err, "cannot write to the state folder %s\n",
                     config.gateway.magnet.stateDir.c_str());
        return 1;
    }
    for (const std::string& cookie : site->definition->login->cookies)
        jar.Store(site->host, site->scheme == "https", cookie);
    SiteLogin login(
        *site,
        [&](SiteRequest request, bool follow) {
            return FetchFollowing(config, *site, jar, std::move(request), follow);
        },
        deadline);
    const std::string folder = config.gateway.magnet.stateDir;
    const LoginOutcome outcome =
        login.Run([&](const QByteArray& image, const std::string& type, std::string& answer) {
            return AskPerson(folder, siteName, image, type, in, err, answer);
        });
    if (outcome.kind != LoginOutcome::Kind::LoggedIn) {
        std::fprintf(err, "%s: not logged in: %s\n", siteName.c_str(), outcome.reason.c_str());
        return 1;
    }
    session.Keep();
    std::fprintf(err, "%s: logged in; the session is kept in %s/sessions\n", siteName.c_str(),
                 folder.c_str());
    return 0;
}

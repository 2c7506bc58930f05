#pragma once

#include <QByteArray>

#include <optional>
#include <string>

/** What a download through the gateway needs, carried by the program as the link's id and hash:
 *  the relay keeps no state, so that any relay behind a front can answer any download. */
struct DownloadTicket {
    std::string site; // the configured site's name
    std::string url;  // the .torrent, or the details page to find it on
    bool details = false;
    std::string title; // the release as the site titles it: the saved file's name
    bool operator==(const DownloadTicket&) const = default;
};

/** Signs and checks tickets with a key shared by every relay of a site operator. The id and the
 *  MAC are base64url without padding: no "&", "=", "|" or space, which the program's link
 *  format cannot carry. */
class TicketKey {
public:
    /** The key in secretFile, made (32 random bytes, mode 0600) if the file is missing; nullopt
     *  with why when it cannot be read or made, or is not a plain file of 32 bytes or more. */
    static std::optional<TicketKey> Load(const std::string& secretFile, std::string& why);
    explicit TicketKey(QByteArray key) : key_(std::move(key)) {}

    /** The id and the MAC for a ticket. */
    std::pair<std::string, std::string> Sign(const DownloadTicket& ticket) const;
    /** The ticket, when the MAC is this key's for this id (compared in constant time). */
    std::optional<DownloadTicket> Verify(const std::string& id, const std::string& mac) const;

private:
    QByteArray Mac(const QByteArray& id) const;
    QByteArray key_;
};

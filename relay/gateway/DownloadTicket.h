#pragma once

#include <QByteArray>

#include <optional>
#include <string>

/** What a download through the gateway needs, carried by the program as the link's id and hash:
 *  the relay keeps no state, so that any relay behind a front can answer any download. */
struct DownloadTicket {
    std::string site; // the configured site's name
    std::string url;  // the .torrent, the details page to find it on, or a magnet link
    bool details = false;
    std::string title;   // the release as the site titles it: the saved file's name
    bool magnet = false; // url is a magnet link (its info hashes, trackers and peers only)
    bool operator==(const DownloadTicket&) const = default;
};

/** The most bytes of a title a ticket carries: the saved name, ".torrent" added, stays within
 *  a file name's 255 bytes, and the link within what a request line may hold. */
constexpr size_t kTicketTitleBytes = 200;

/** title cut to at most maxBytes, at a UTF-8 character's boundary. */
std::string CutUtf8(std::string title, size_t maxBytes);

/** Seals and opens tickets with a key shared by every relay of a site operator. A ticket is
 *  encrypted and authenticated (AES-256-GCM under a key of its own, made from the tickets' key
 *  and a random salt): what it names, a download link's own key included, is for the relays'
 *  eyes only, not for the clients, caches and logs it passes through. The id (salt and
 *  ciphertext) and the MAC (the tag) are base64url without padding: no "&", "=", "|" or space,
 *  which the program's link format cannot carry. */
class TicketKey {
public:
    /** The key in secretFile, made (32 random bytes, mode 0600) if the file is missing; nullopt
     *  with why when it cannot be read or made, is not a plain file of 32 bytes or more, or
     *  others than its owner may read or write it (in systemd's credentials folder, where the
     *  group bits only mirror an ACL for the service, its group may read it). */
    static std::optional<TicketKey> Load(const std::string& secretFile, std::string& why);
    /** secret: the shared secret; the key tickets are sealed with is derived from it. */
    explicit TicketKey(const QByteArray& secret);

    /** The id and the MAC for a ticket, its title cut to kTicketTitleBytes. */
    std::pair<std::string, std::string> Sign(const DownloadTicket& ticket) const;
    /** The ticket, when id and MAC were sealed with this key and are unaltered. */
    std::optional<DownloadTicket> Verify(const std::string& id, const std::string& mac) const;

private:
    QByteArray key_; // for tickets alone
};

#include "relay/gateway/DownloadTicket.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kKeyBytes = 32;
constexpr qsizetype kSaltBytes = 16, kTagBytes = 16;
constexpr qsizetype kMaxTicketBytes = 1 << 20; // far beyond a real one: no work on huge ids
constexpr auto kBase64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

std::string Why(const std::string& file, const char* what)
{
    return file + ": " + what + (errno ? std::string(": ") + std::strerror(errno) : std::string());
}

QByteArray RandomBytes(qsizetype n)
{
    QByteArray bytes(n, '\0');
    for (char& c : bytes)
        c = char(QRandomGenerator::system()->bounded(256));
    return bytes;
}

/** Makes the file with a fresh random key, readable by its owner only. The key is written to a
 *  file of its own and linked into place whole: relays that start together never read half a
 *  key, and the first one's key is the one they all use. */
bool MakeKey(const std::string& file, std::string& why)
{
    const std::string temporary = file + ".new-" + RandomBytes(6).toHex().toStdString();
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) {
        why = Why(file, "cannot make the gateway secret");
        return false;
    }
    const QByteArray key = RandomBytes(kKeyBytes);
    const bool written =
        ::write(fd, key.constData(), size_t(key.size())) == ssize_t(key.size()) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    const bool linked = written && closed &&
                        (::link(temporary.c_str(), file.c_str()) == 0 ||
                         errno == EEXIST); // another relay won: use its key
    if (!linked) why = Why(file, "cannot write the gateway secret");
    ::unlink(temporary.c_str());
    return linked;
}

/** systemd's credentials folder: the group bits of a file there stand for an ACL that lets the
 *  service's own user read it. */
bool InCredentialsFolder(const std::string& file)
{
    const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
    if (!folder || !*folder) return false;
    const std::string prefix = std::string(folder) + "/";
    return file.rfind(prefix, 0) == 0 && file.find('/', prefix.size()) == std::string::npos;
}

/** Why the open secret may not be used, or "". */
std::string Unfit(const std::string& file, const struct stat& st)
{
    errno = 0;
    if (!S_ISREG(st.st_mode))
        return Why(file, "the gateway secret must be a plain file (not a FIFO, device or folder)");
    const mode_t allowed = InCredentialsFolder(file) ? S_IRGRP : 0;
    if (st.st_mode & (S_IRWXG | S_IRWXO) & ~allowed)
        return file + ": other users than its owner can read or write the gateway secret, and "
                      "whoever reads it can forge download links (chmod 600)";
    if (st.st_size < kKeyBytes || st.st_size > 4096)
        return Why(file, "the gateway secret must be a plain file of 32 bytes or more");
    return {};
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

/** text sealed (encrypt) or opened under key with AES-256-GCM and its tag; nullopt when the
 *  tag does not match. Each key seals one ticket only, so the nonce may stay zero. */
std::optional<QByteArray> Gcm(bool encrypt, const QByteArray& key, const QByteArray& text,
                              QByteArray& tag)
{
    const CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    const unsigned char nonce[12] = {};
    const auto* k = reinterpret_cast<const unsigned char*>(key.constData());
    QByteArray out(text.size() + 16, '\0');
    int n = 0, last = 0;
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    const auto* in = reinterpret_cast<const unsigned char*>(text.constData());
    bool ok = context && EVP_CipherInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, k, nonce,
                                           encrypt ? 1 : 0) == 1;
    ok = ok && EVP_CipherUpdate(context.get(), o, &n, in, int(text.size())) == 1;
    if (!encrypt)
        ok = ok && tag.size() == kTagBytes &&
             EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, int(kTagBytes), tag.data()) ==
                 1;
    ok = ok && EVP_CipherFinal_ex(context.get(), o + n, &last) == 1;
    if (encrypt) {
        tag.resize(kTagBytes);
        ok = ok && EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, int(kTagBytes),
                                       tag.data()) == 1;
    }
    if (!ok) return std::nullopt;
    out.resize(n + last);
    return out;
}

/** The key of one ticket: from the tickets' key and the ticket's random salt, so that no two
 *  tickets share a key (and a nonce) however many are made. */
QByteArray TicketOwnKey(const QByteArray& key, const QByteArray& salt)
{
    return QMessageAuthenticationCode::hash(salt, key, QCryptographicHash::Sha256);
}

} // namespace

std::string CutUtf8(std::string title, size_t maxBytes)
{
    if (title.size() <= maxBytes) return title;
    size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>(title[end]) & 0xC0) == 0x80)
        --end; // title[end] continues a character: cut before that character
    title.resize(end);
    return title;
}

TicketKey::TicketKey(const QByteArray& secret)
    : key_(QMessageAuthenticationCode::hash("reelmate download tickets", secret,
                                            QCryptographicHash::Sha256))
{
}

std::optional<TicketKey> TicketKey::Load(const std::string& secretFile, std::string& why)
{
    errno = 0;
    // Not blocking: a FIFO put there must be refused, not waited on.
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd = ::open(secretFile.c_str(), kFlags);
    if (fd < 0 && errno == ENOENT) {
        if (!MakeKey(secretFile, why)) return std::nullopt;
        fd = ::open(secretFile.c_str(), kFlags);
    }
    if (fd < 0) {
        why = Why(secretFile, "cannot read the gateway secret");
        return std::nullopt;
    }
    struct stat st {};
    QByteArray key;
    if (::fstat(fd, &st) != 0) {
        why = Why(secretFile, "cannot read the gateway secret");
    } else if (why = Unfit(secretFile, st); why.empty()) {
        key.resize(qsizetype(st.st_size));
        if (::read(fd, key.data(), size_t(key.size())) != ssize_t(key.size())) {
            why = Why(secretFile, "cannot read the gateway secret");
            key.clear();
        }
    }
    ::close(fd);
    if (key.isEmpty()) return std::nullopt;
    return TicketKey(key);
}

std::pair<std::string, std::string> TicketKey::Sign(const DownloadTicket& ticket) const
{
    const QByteArray payload = QByteArray::fromStdString(ticket.site) + '\n' +
                               (ticket.magnet    ? "m"
                                : ticket.details ? "d"
                                                 : "t") +
                               '\n' + QByteArray::fromStdString(ticket.url) + '\n' +
                               QByteArray::fromStdString(CutUtf8(ticket.title, kTicketTitleBytes));
    const QByteArray salt = RandomBytes(kSaltBytes);
    QByteArray tag;
    const auto sealed = Gcm(true, TicketOwnKey(key_, salt), payload, tag);
    if (!sealed) return {}; // only when the library fails: an empty ticket, which no key opens
    return {(salt + *sealed).toBase64(kBase64Url).toStdString(),
            tag.toBase64(kBase64Url).toStdString()};
}

std::optional<DownloadTicket> TicketKey::Verify(const std::string& id, const std::string& mac) const
{
    if (id.size() > size_t(kMaxTicketBytes)) return std::nullopt;
    constexpr auto kStrict = kBase64Url | QByteArray::AbortOnBase64DecodingErrors;
    const auto sealed = QByteArray::fromBase64Encoding(QByteArray::fromStdString(id), kStrict);
    auto tag = QByteArray::fromBase64Encoding(QByteArray::fromStdString(mac), kStrict);
    if (!sealed || !tag || sealed.decoded.size() < kSaltBytes) return std::nullopt;
    const auto opened = Gcm(false, TicketOwnKey(key_, sealed.decoded.left(kSaltBytes)),
                            sealed.decoded.mid(kSaltBytes), tag.decoded);
    if (!opened) return std::nullopt;
    // site, kind and URL hold no newline; the title is all that follows them.
    const QByteArray& text = *opened;
    const qsizetype a = text.indexOf('\n'), b = text.indexOf('\n', a + 1),
                    c = text.indexOf('\n', b + 1);
    if (a < 0 || b != a + 2 || c < 0) return std::nullopt;
    const QByteArray kind = text.mid(a + 1, 1);
    if (kind != "d" && kind != "t" && kind != "m") return std::nullopt;
    DownloadTicket ticket{text.left(a).toStdString(), text.mid(b + 1, c - b - 1).toStdString(),
                          kind == "d", text.mid(c + 1).toStdString(), kind == "m"};
    return ticket;
}

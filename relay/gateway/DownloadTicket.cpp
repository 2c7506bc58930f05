#include "relay/gateway/DownloadTicket.h"

#include <QList>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kKeyBytes = 32;
constexpr auto kBase64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

std::string Why(const std::string& file, const char* what)
{
    return file + ": " + what + (errno ? std::string(": ") + std::strerror(errno) : std::string());
}

/** Makes the file with a fresh random key, readable by its owner only. The key is written to a
 *  file of its own and linked into place whole: relays that start together never read half a
 *  key, and the first one's key is the one they all use. */
bool MakeKey(const std::string& file, std::string& why)
{
    std::string temporary = file + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data()); // 0600
    if (fd < 0) {
        why = Why(file, "cannot make the gateway secret");
        return false;
    }
    quint32 words[kKeyBytes / 4];
    QRandomGenerator::system()->fillRange(words);
    const bool written =
        ::write(fd, words, sizeof words) == ssize_t(sizeof words) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    const bool linked = written && closed &&
                        (::link(temporary.c_str(), file.c_str()) == 0 ||
                         errno == EEXIST); // another relay won: use its key
    if (!linked) why = Why(file, "cannot write the gateway secret");
    ::unlink(temporary.c_str());
    return linked;
}

} // namespace

std::optional<TicketKey> TicketKey::Load(const std::string& secretFile, std::string& why)
{
    errno = 0;
    if (::access(secretFile.c_str(), F_OK) != 0 && !MakeKey(secretFile, why)) return std::nullopt;
    const int fd = ::open(secretFile.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        why = Why(secretFile, "cannot read the gateway secret");
        return std::nullopt;
    }
    struct stat st {};
    QByteArray key;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= kKeyBytes &&
        st.st_size <= 4096) {
        key.resize(qsizetype(st.st_size));
        if (::read(fd, key.data(), size_t(key.size())) != ssize_t(key.size())) key.clear();
    }
    ::close(fd);
    if (key.size() < kKeyBytes) {
        errno = 0;
        why = Why(secretFile, "the gateway secret must be a plain file of 32 bytes or more");
        return std::nullopt;
    }
    return TicketKey(key);
}

QByteArray TicketKey::Mac(const QByteArray& id) const
{
    return QMessageAuthenticationCode::hash(id, key_, QCryptographicHash::Sha256)
        .toBase64(kBase64Url);
}

std::pair<std::string, std::string> TicketKey::Sign(const DownloadTicket& ticket) const
{
    const QByteArray payload =
        QByteArray::fromStdString(ticket.site) + '\n' + (ticket.details ? "d" : "t") + '\n' +
        QByteArray::fromStdString(ticket.url) + '\n' + QByteArray::fromStdString(ticket.title);
    const QByteArray id = payload.toBase64(kBase64Url);
    return {id.toStdString(), Mac(id).toStdString()};
}

std::optional<DownloadTicket> TicketKey::Verify(const std::string& id, const std::string& mac) const
{
    const QByteArray expected = Mac(QByteArray::fromStdString(id));
    if (expected.size() != qsizetype(mac.size())) return std::nullopt;
    unsigned char differ = 0;
    for (qsizetype i = 0; i < expected.size(); ++i)
        differ |= static_cast<unsigned char>(expected[i] ^ mac[size_t(i)]);
    if (differ) return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(
        QByteArray::fromStdString(id), kBase64Url | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) return std::nullopt;
    // site, kind and URL hold no newline; the title is all that follows them.
    const QByteArray& text = *decoded;
    const qsizetype a = text.indexOf('\n'), b = text.indexOf('\n', a + 1),
                    c = text.indexOf('\n', b + 1);
    if (a < 0 || b != a + 2 || c < 0) return std::nullopt;
    const QByteArray kind = text.mid(a + 1, 1);
    if (kind != "d" && kind != "t") return std::nullopt;
    return DownloadTicket{text.left(a).toStdString(), text.mid(b + 1, c - b - 1).toStdString(),
                          kind == "d", text.mid(c + 1).toStdString()};
}

#include "relay/catalogue/DefinitionArchive.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr int kBlock = 512;
// Headers, pax records and padding on top of the files' own bytes.
constexpr long long kMaxTarBytes = kMaxArchiveBytes + (kMaxArchiveFiles + 64LL) * 4 * kBlock;

DefinitionArchive Refused(ArchiveFault fault, std::string why)
{
    DefinitionArchive out;
    out.fault = fault;
    out.why = std::move(why);
    return out;
}

/** The gzip stream inflated, at most limit bytes; false when damaged or larger. */
bool Gunzip(const QByteArray& in, QByteArray& out, long long limit, bool& tooLarge)
{
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.constData()));
    z.avail_in = uInt(in.size());
    char chunk[64 * 1024];
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        z.next_out = reinterpret_cast<Bytef*>(chunk);
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) break;
        out.append(chunk, qsizetype(sizeof chunk - z.avail_out));
        if (out.size() > limit) {
            tooLarge = true;
            break;
        }
        if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) break; // truncated
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END && !tooLarge;
}

/** A NUL-ended header field. */
std::string Field(const char* at, size_t size)
{
    return std::string(at, strnlen(at, size));
}

/** An octal (or base-256) number field; -1 when malformed. */
long long Number(const unsigned char* at, size_t size)
{
    if (at[0] & 0x80) { // base-256, big-endian
        long long n = 0;
        for (size_t i = 1; i < size; ++i) {
            if (n > (1LL << 52)) return -1;
            n = n * 256 + at[i];
        }
        return (at[0] & 0x40) ? -1 : n;
    }
    long long n = 0;
    size_t i = 0;
    while (i < size && at[i] == ' ')
        ++i;
    bool digits = false;
    for (; i < size && at[i] >= '0' && at[i] <= '7'; ++i) {
        n = n * 8 + (at[i] - '0');
        digits = true;
    }
    for (; i < size; ++i)
        if (at[i] != ' ' && at[i] != '\0') return -1;
    return digits ? n : 0;
}

bool ChecksumHolds(const unsigned char* h)
{
    long long sum = 0;
    for (int i = 0; i < kBlock; ++i)
        sum += (i >= 148 && i < 156) ? ' ' : h[i];
    return Number(h + 148, 8) == sum;
}

/** The "path" and "linkpath" records of a pax header (others are ignored). */
void PaxRecords(const QByteArray& data, std::string& path, bool& link)
{
    qsizetype at = 0;
    while (at < data.size()) {
        const qsizetype space = data.indexOf(' ', at);
        if (space < 0) return;
        const long long length = data.mid(at, space - at).toLongLong();
        if (length <= space - at || at + length > data.size()) return;
        const QByteArray record = data.mid(space + 1, length - (space - at) - 2); // no "\n"
        if (record.startsWith("path=")) path = record.mid(5).toStdString();
        if (record.startsWith("linkpath=")) link = true;
        at += length;
    }
}

/** Why a name may not be unpacked anywhere, or None. */
ArchiveFault NameFault(const std::string& name)
{
    if (!name.empty() && name[0] == '/') return ArchiveFault::AbsoluteName;
    size_t start = 0;
    while (start <= name.size()) {
        const size_t slash = std::min(name.find('/', start), name.size());
        if (name.compare(start, slash - start, "..") == 0) return ArchiveFault::ParentName;
        start = slash + 1;
    }
    return ArchiveFault::None;
}

/** NAME when the entry is NAME.yml right in a definitions folder, else "". */
std::string DefinitionName(const std::string& entry)
{
    static const char* const kFolders[] = {"definitions/v11/", "src/Jackett.Common/Definitions/"};
    std::vector<size_t> starts{0}; // the folder at the top, or under the archive's top folder
    if (const size_t slash = entry.find('/'); slash != std::string::npos)
        starts.push_back(slash + 1);
    for (const size_t from : starts) {
        for (const char* folder : kFolders) {
            const size_t length = std::strlen(folder);
            if (entry.compare(from, length, folder) != 0) continue;
            const std::string file = entry.substr(from + length);
            if (file.size() > 4 && file.find('/') == std::string::npos && file[0] != '.' &&
                file.compare(file.size() - 4, 4, ".yml") == 0)
                return file.substr(0, file.size() - 4);
        }
    }
    return {};
}

} // namespace

DefinitionArchive ReadDefinitionArchive(const QByteArray& gzipped)
{
    QByteArray tar;
    bool tooLarge = false;
    if (!Gunzip(gzipped, tar, kMaxTarBytes, tooLarge))
        return tooLarge ? Refused(ArchiveFault::TooLarge, "more than 50 MB unpacked")
                        : Refused(ArchiveFault::NotGzip, "not a .tar.gz, or a damaged one");
    DefinitionArchive out;
    std::string longName, paxPath;
    bool paxLink = false;
    long long files = 0, bytes = 0;
    for (qsizetype at = 0; at + kBlock <= tar.size();) {
        const auto* h = reinterpret_cast<const unsigned char*>(tar.constData() + at);
        if (std::all_of(h, h + kBlock, [](unsigned char c) { return c == 0; })) break; // the end
        if (!ChecksumHolds(h))
            return Refused(ArchiveFault::Malformed,
                           "a damaged tar header at byte " + std::to_string(at));
        const long long size = Number(h + 124, 12);
        const qsizetype data = at + kBlock;
        if (size < 0 || size > tar.size() - data)
            return Refused(ArchiveFault::Malformed, "the archive ends inside an entry");
        const QByteArray content = tar.mid(data, qsizetype(size));
        at = data + qsizetype((size + kBlock - 1) / kBlock * kBlock);
        const char type = char(h[156]);
        if (type == 'x') { // pax: the next entry's own name
            PaxRecords(content, paxPath, paxLink);
            continue;
        }
        if (type == 'L') { // GNU: the next entry's long name
            longName = Field(content.constData(), size_t(content.size()));
            continue;
        }
        if (type == 'g') continue; // a global pax header (a commit's id)
        const char* raw = reinterpret_cast<const char*>(h);
        std::string name = !paxPath.empty()    ? paxPath
                           : !longName.empty() ? longName
                                               : Field(raw, 100);
        const std::string prefix =
            std::memcmp(raw + 257, "ustar", 5) == 0 ? Field(raw + 345, 155) : std::string();
        if (paxPath.empty() && longName.empty() && !prefix.empty())
            name = std::string(prefix).append("/").append(name);
        const bool link = paxLink;
        paxPath.clear();
        longName.clear();
        paxLink = false;
        if (const ArchiveFault fault = NameFault(name); fault != ArchiveFault::None)
            return Refused(fault, "the entry " + name + " would be unpacked outside its folder");
        if (link || type == '1' || type == '2' || type == 'K')
            return Refused(ArchiveFault::Link, "the entry " + name + " is a link");
        if (type == '5') continue;
        if (type != '0' && type != '\0' && type != '7')
            return Refused(ArchiveFault::Special,
                           "the entry " + name + " is a device, a FIFO or of unknown type");
        if (++files > kMaxArchiveFiles)
            return Refused(ArchiveFault::TooManyFiles,
                           "more than " + std::to_string(kMaxArchiveFiles) + " files");
        if ((bytes += size) > kMaxArchiveBytes)
            return Refused(ArchiveFault::TooLarge, "more than 50 MB unpacked");
        if (std::string definition = DefinitionName(name); !definition.empty())
            out.files.emplace_back(std::move(definition), content);
    }
    if (out.files.empty())
        return Refused(ArchiveFault::NoDefinitions,
                       "no definitions/v11/*.yml or src/Jackett.Common/Definitions/*.yml in it");
    return out;
}

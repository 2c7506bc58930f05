#pragma once

#include <QByteArray>

#include <string>
#include <utility>
#include <vector>

/** Why an archive of definitions was refused. */
enum class ArchiveFault {
    None,
    NotGzip,       // not gzip, or its stream is damaged
    Malformed,     // a tar header that does not check out, or the archive ends inside an entry
    AbsoluteName,  // an entry named from the root
    ParentName,    // an entry with ".." in its name
    Link,          // a symbolic or hard link
    Special,       // a device, a FIFO or an entry type of unknown meaning
    TooManyFiles,  // more than kMaxArchiveFiles
    TooLarge,      // more than kMaxArchiveBytes unpacked
    NoDefinitions, // no definitions folder in it
};

constexpr int kMaxArchiveFiles = 5000;
constexpr long long kMaxArchiveBytes = 50LL << 20;

/** What an archive holds of the community's definitions: NAME.yml and its bytes, or why the
 *  whole archive was refused. */
struct DefinitionArchive {
    ArchiveFault fault = ArchiveFault::None;
    std::string why; // for people, with the entry at fault
    std::vector<std::pair<std::string, QByteArray>> files;
};

/** Reads a .tar.gz of the community's definition set (a repository's archive): the *.yml of
 *  its definitions folder, "definitions/v11/" (Prowlarr's) or "src/Jackett.Common/Definitions/"
 *  (Jackett's), under one top folder or none. Any hostile entry anywhere refuses it whole. */
DefinitionArchive ReadDefinitionArchive(const QByteArray& gzipped);

#include "relay/magnet/TorrentFromMetadata.h"

#include "web/TorrentFile.h"

std::string BencodeString(std::string_view bytes)
{
    return std::to_string(bytes.size()) + ":" + std::string(bytes);
}

std::string TorrentFromMetadata(std::string_view info, const std::vector<std::string>& trackers,
                                std::string_view siteName)
{
    if (!IsBencodedDictionary(QByteArrayView(info.data(), qsizetype(info.size())))) return {};
    std::string out = "d";
    if (!trackers.empty()) {
        out += BencodeString("announce") + BencodeString(trackers.front());
        out += BencodeString("announce-list") + "l";
        for (const std::string& tracker : trackers)
            out += "l" + BencodeString(tracker) + "e";
        out += "e";
    }
    if (!siteName.empty()) out += BencodeString("comment") + BencodeString(siteName);
    out += BencodeString("created by") + BencodeString("Reelmate relay");
    out += BencodeString("info");
    out += info;
    out += "e";
    return out;
}

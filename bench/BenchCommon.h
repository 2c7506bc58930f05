#pragma once

#include <algorithm>
#include <vector>

/** The definition the gateway benchmarks read their sites with: a tracker's table of releases. */
inline constexpr char kBenchDefinition[] =
    "id: bench\n"
    "links:\n  - http://127.0.0.1/\n"
    "search:\n"
    "  paths:\n    - path: search\n"
    "  inputs:\n    q: \"{{ .Keywords }}\"\n"
    "  rows:\n    selector: table.torrents > tbody > tr:has(td.name)\n"
    "  fields:\n"
    "    title:\n      selector: td.name a\n"
    "    download:\n      selector: a[href$=\".torrent\"]\n"
    "      attribute: href\n"
    "    size:\n      selector: td.size\n      optional: true\n";

/** The value below which a share p (0 to 1) of the samples lie. */
inline double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[size_t(p * double(v.size() - 1))];
}

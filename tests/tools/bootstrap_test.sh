#!/usr/bin/env bash
# Every command the project's scripts and tests run comes from a package that tools/bootstrap.sh
# installs (or that one of those depends on), or from Debian's required base: a tool that is
# only on a developer's machine by hand would otherwise pass here and fail on a new machine.
# Usage: bootstrap_test.sh [SOURCE_DIR]
set -euo pipefail
top=${1:-$(cd "$(dirname "$0")/../.." && pwd)}
cd "$top"

# The bootstrap's list, as the script itself reads it.
mapfile -t listed < <(sed -n '/^packages=(/,/^)/p' tools/bootstrap.sh | sed '1d;$d' | tr -s ' \t' '\n' | sed '/^$/d')
[ ${#listed[@]} -gt 10 ] || { echo "bootstrap_test: cannot read the list in tools/bootstrap.sh" >&2; exit 1; }

# What those pull in, and what every Debian system has (a minimal one: Priority required; git
# and sudo, with which the README's commands are reached).
declare -A allowed=()
for p in "${listed[@]}" git sudo ca-certificates; do allowed[$p]=1; done
# Dependencies as the installed packages declare them (alternatives all count; a virtual
# package counts as provided by whichever installed package provides it).
while read -r p; do allowed[$p]=1; done < <(
    dpkg-query -W -f='${Package}\t${Provides}\t${Pre-Depends}, ${Depends}\n' 2>/dev/null |
        awk -F'\t' -v roots="${listed[*]} git sudo ca-certificates" '
            function names(text, out,    n, parts, i, name) {
                n = split(text, parts, /[,|]/)
                for (i = 1; i <= n; i++) {
                    name = parts[i]; sub(/^ +/, "", name); sub(/[ :(].*/, "", name)
                    if (name != "") out[++out[0]] = name
                }
            }
            { deps[$1] = $3; delete p; p[0] = 0; names($2, p)
              for (i = 1; i <= p[0]; i++) providers[p[i]] = providers[p[i]] " " $1 }
            END {
                n = split(roots, queue, " ")
                for (i = 1; i <= n; i++) seen[queue[i]] = 1
                for (i = 1; i <= n; i++) {
                    delete d; d[0] = 0; names(deps[queue[i]], d)
                    m = split(providers[queue[i]], prov, " ")
                    for (j = 1; j <= m; j++) d[++d[0]] = prov[j]
                    for (j = 1; j <= d[0]; j++)
                        if (!(d[j] in seen)) { seen[d[j]] = 1; queue[++n] = d[j] }
                }
                for (name in seen) print name
            }')
while read -r p prio; do [ "$prio" = required ] && allowed[$p]=1; done < <(
    dpkg-query -W -f='${Package} ${Priority}\n' 2>/dev/null)

# The words that stand where a command stands, in every script and in the tests' commands.
mapfile -t scripts < <(git ls-files '*.sh' .ci/run)
words=$(
    {
        cat "${scripts[@]}" | sed 's/#.*$//'
        sed -n 's/.*add_test(NAME [^ ]* COMMAND \([^ )]*\).*/\1/p' tests/CMakeLists.txt
    } | sed -E 's/(\$\(|`|\|\||&&|[|;(]|\bthen\b|\bdo\b|\belse\b|\bif\b|\belif\b|\bwhile\b|\buntil\b|!|\bexec\b|\bsudo\b|\btimeout [0-9.]+[sm]?\b|\bxargs( -[a-zA-Z0-9]+( [0-9$()a-z]+)?)*\b|command -v)/\n/g' |
        sed -E 's/^[[:space:]]*([A-Z_][A-Z0-9_]*=[^[:space:]]*[[:space:]]+)*//' |
        grep -oE '^[a-z][a-z0-9_.+-]*' | sort -u
)

missing=0
for word in $words; do
    # Debian's own copy first: one under /usr/local is this machine's, not a new one's.
    path=
    for dir in /usr/bin /usr/sbin /bin /sbin; do
        [ -x "$dir/$word" ] && { path=$dir/$word; break; }
    done
    [ -n "$path" ] || path=$(type -P "$word" 2>/dev/null) || continue # a builtin, or a word
    # Debian's merged /usr: dpkg may know /usr/bin/cat as /bin/cat; diversions are not owners.
    owner=$(for p in "$path" "${path#/usr}" "$(readlink -f "$path")"; do
        dpkg -S "$p" 2>/dev/null | grep -v '^diversion by' | head -1
    done | head -1) || true
    [ -n "$owner" ] || {
        echo "bootstrap_test: $word ($path) belongs to no Debian package" >&2
        missing=1
        continue
    }
    package=${owner%%:*}
    package=${package%%,*}
    if [ -z "${allowed[$package]:-}" ]; then
        echo "bootstrap_test: the scripts run $word, from $package, which tools/bootstrap.sh does not install" >&2
        missing=1
    fi
done
[ $missing -eq 0 ] && echo "bootstrap_test: every command the scripts run is installed by tools/bootstrap.sh"
exit $missing

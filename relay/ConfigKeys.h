#pragma once

#include <string>
#include <vector>

/** One key the relay's configuration accepts: its section, its default, what values it takes
 *  and what it does. The key setters look a key up here first, so a key not in the table is
 *  refused as unknown and docs/configuration.md is checked against it. */
struct ConfigKey {
    const char* section;         // "relay", "site" or "gateway"
    const char* name;            // "config.KEY": any key after the prefix
    const char* defaultValue;    // as it would be written; empty: none, or worked out (see meaning)
    const char* accepts;         // the values taken, in words; for whole numbers, the unit
    const char* meaning;         // one line
    long long min = 0, max = -1; // a whole number from min to max; max < min: not a number

    bool Numeric() const { return max >= min; }
    /** "accepts", with the bounds of a whole number written out. */
    std::string Accepts() const;
};

/** Every key, grouped by section in the order the reference lists them. */
const std::vector<ConfigKey>& ConfigKeys();

/** The section's key of that name ("config.x" finds "config.KEY"), or nullptr. */
const ConfigKey* FindConfigKey(const std::string& section, const std::string& name);

/** A whole number within the key's bounds, or why not (empty when n was read). */
std::string ReadConfigNumber(const ConfigKey& key, const std::string& value, long long& n);

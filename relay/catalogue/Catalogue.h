#pragma once

#include "relay/catalogue/DefinitionArchive.h"

#include <string>
#include <vector>

/** One definition of the catalogue as --catalogue lists it. */
struct CatalogueEntry {
    std::string name;     // the file's name without .yml
    std::string type;     // public, semi-private or private, as the file says
    std::string language; // as the file says, e.g. en-US
    bool servable = false;
    std::string why; // "LINE: what the relay cannot do" when not servable
};

/** The catalogue of a state folder: "STATE/catalogue". */
std::string CatalogueDir(const std::string& stateDir);

/** Writes the archive's definitions into a new folder beside the catalogue and renames it into
 *  place; the old catalogue stays until then. Empty, or why not. */
std::string InstallCatalogue(const std::string& stateDir, const DefinitionArchive& archive);

/** Every NAME.yml of the catalogue folder, read as the relay would, in name order; the names
 *  holding word only (any case) when word is not empty. False with why when there is none. */
bool ReadCatalogue(const std::string& dir, const std::string& word,
                   std::vector<CatalogueEntry>& entries, std::string& why);

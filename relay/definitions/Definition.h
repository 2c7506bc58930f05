#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

/** One filter of a field, the rows or the keywords: a name and its arguments. */
struct DefinitionFilter {
    std::string name;
    std::vector<std::string> args;
    int line = 0;
};

/** How one field of a result row is read. */
struct DefinitionField {
    std::string name; // without its modifiers: "description" for "description|append"
    /** "title|append", "description|append": the value is added to an earlier field's of the
     *  same name. "category|noappend": it replaces an earlier category's, where categories
     *  otherwise add up. */
    bool append = false, noappend = false;
    std::string selector;  // CSS, tried on the row itself, then below it
    std::string attribute; // empty: the element's text
    bool hasText = false;
    std::string text;   // a template, instead of a selector
    std::string remove; // CSS of elements whose text is left out
    std::vector<DefinitionFilter> filters;
    bool optional = false;
    bool hasDefault = false;
    std::string defaultValue;
    std::vector<std::pair<std::string, std::string>> cases; // selector -> value, in order
    int line = 0;
};

struct LoginBlock;

/** A site as the community's indexer definitions (YAML) describe it: the subset this relay
 *  reads. Anything else in a file is refused with its line, never ignored in silence. */
struct Definition {
    std::string file;
    std::string id, name;
    std::string encoding = "UTF-8";
    std::vector<std::string> links;
    std::map<std::string, std::string> settings; // name -> default
    std::set<std::string> checkboxes;            // the settings that are checkboxes
    std::string loginMethod; // empty (public), "cookie", "post", "form" or "get"
    std::string loginTestPath, loginTestSelector;
    std::shared_ptr<const LoginBlock> login; // what a post, form or get login sends
    using Pairs = std::vector<std::pair<std::string, std::string>>; // name -> template, in order
    struct Path {
        std::string path; // a template
        std::string method = "get";
        bool followRedirect = false;
        Pairs inputs;              // this path's own, over the search's
        bool inheritInputs = true; // the search's inputs apply to it too
        /** JSON: an answer holding this text (or, when it is empty, an empty answer) has no
         *  rows, rather than being a page the relay did not understand. */
        bool hasNoResultsMessage = false;
        std::string noResultsMessage;
    };
    std::vector<Path> paths;
    Pairs inputs;
    bool allowEmptyInputs = false; // an input whose value comes out empty is still sent
    Pairs searchHeaders;
    std::vector<DefinitionFilter> keywordsFilters;
    std::string rowsSelector;
    int rowsAfter = 0;
    bool rowsAndMatch = false; // only rows whose title holds every word of the keywords
    int rowsAndMatchLimit = 0; // of their first this many characters (0: all)
    bool json = false;         // the search answers JSON: selectors are dotted paths
    bool xml = false;          // the search answers XML (a feed): read as XML, not HTML
    std::string rowsAttribute; // JSON: the rows are the items of this array in each row
    std::string rowsCount;     // JSON: where the answer counts its rows ("" none); 0: no rows
    std::vector<DefinitionFilter> rowsCountFilters;
    bool rowsMissingMeansNone = false; // JSON: no rows selector (or attribute) means no rows
    /** A page that matches selector is the site's error, not results: message says which. */
    struct ErrorBlock {
        std::string selector, messageSelector, messageText;
    };
    std::vector<ErrorBlock> errors;
    std::vector<DefinitionField> fields;
    struct DownloadSelector {
        std::string selector, attribute;
        std::vector<DefinitionFilter> filters;
        bool useBeforeResponse = false; // read on the answer to the request before, if any
    };
    std::vector<DownloadSelector> downloadSelectors; // on the details page
    /** A request the site wants before the download: a "thanks", or the page the link is on. */
    struct BeforeRequest {
        bool present = false;
        std::string path; // a template, relative to the release's link
        std::string method = "get";
        Pairs inputs;
        std::vector<DownloadSelector> pathSelector; // or the path read from the release's page
    };
    BeforeRequest before;
    /** download.infohash: the release's info hash (and title) read on its details page, for a
     *  site that offers no .torrent; the torrent then comes from the swarm. */
    struct InfoHashBlock {
        bool present = false;
        DownloadSelector hash, title;
        bool useBeforeResponse = false;
    };
    InfoHashBlock infohash;
    /** download.trackers (this relay's addition): what a magnet made from a bare info hash
     *  announces to; without them the DHT alone finds the swarm. */
    std::vector<std::string> trackers;
    std::string downloadMethod = "get";
    std::vector<std::pair<std::string, std::string>> downloadHeaders;
    bool followRedirect = false;
    double requestDelaySeconds = 0;
    /** SHA-1 fingerprints (40 hex digits) of the site's own certificates, trusted though no
     *  authority vouches for them. */
    std::vector<std::string> certificates;

    const DefinitionField* field(const std::string& name) const;
};

/** The definition's text with the lines of its top-level "caps:" block emptied, their line breaks
 *  kept, so that lines are numbered as in the file. Nothing reads the category mappings, and
 *  they are a third of a typical file, which the YAML reader is slow over. */
std::string WithoutCategories(const std::string& text);

/** Reads a definition file. False, with "LINE: unsupported WHAT" or "LINE: error WHY" in why,
 *  when the file asks for what this relay cannot do or is not a definition. */
bool ReadDefinition(const std::string& path, Definition& out, std::string& why);

struct CompiledDefinition;

/** One file's outcome when many are read at once. */
struct DefinitionRead {
    bool ok = false;
    std::shared_ptr<CompiledDefinition> definition; // read and compiled
    std::string why;
};

/** Reads and compiles the files on all the machine's cores (the YAML reader is the slow part);
 *  the outcomes in the order of the paths. */
std::vector<DefinitionRead> ReadDefinitions(const std::vector<std::string>& paths);

/** The same, from text (path names it in messages only). */
bool ParseDefinition(const std::string& text, const std::string& path, Definition& out,
                     std::string& why);

/** A setting's value as templates see it: a checkbox is "True" when ticked and empty when not
 *  (so that "eq .Config.x .False" holds for an unticked one), anything else as it is. */
std::string SettingForTemplates(const Definition& definition, const std::string& name,
                                const std::string& value);

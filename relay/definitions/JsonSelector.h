#pragma once

#include <QJsonValue>

#include <optional>
#include <string>
#include <vector>

/** A field's selector in a JSON answer: a dotted path, then tests on the value found there, as
 *  in "info.free:contains(Only Upload)" or "name:not(:contains(x))". The field is found only
 *  when every test holds. */
struct JsonSelector {
    struct Test {
        std::string kind;     // "has", "not" or "contains"
        std::string argument; // has/not: a JSON selector below the value; contains: text
    };
    std::string path; // "" or "$": the value itself
    std::vector<Test> tests;
};

/** Reads a selector; nullopt, with why, when it is not one. */
std::optional<JsonSelector> ParseJsonSelector(const std::string& text, std::string* why = nullptr);

/** The value at a dotted path below a JSON value ("data.movies"; "$" is the value itself). */
QJsonValue AtJsonPath(QJsonValue value, const std::string& path);

/** The value the selector finds below value; undefined when nothing is there or a test fails. */
QJsonValue SelectJson(const QJsonValue& value, const JsonSelector& selector);

/** A JSON value as a field's text: numbers without a needless ".0", true/false as .NET writes
 *  them; nullopt for null or nothing. */
std::optional<std::string> JsonText(const QJsonValue& v);

#pragma once

#include "relay/definitions/Definition.h"

#include <string>
#include <utility>
#include <vector>

/** A definition's login by password, API key or form: what to send, where, and how to tell
 *  that it worked. A cookie login needs none of this (the user's cookie is sent as it is). */
struct LoginBlock {
    using Pairs = Definition::Pairs;
    std::string method;     // "post", "form" or "get"
    std::string path;       // a template: the login page (form) or where the login goes
    std::string submitPath; // form: where the form goes instead of its action
    std::string form = "form";
    Pairs inputs;                    // name (or, with selectors, a selector) -> template
    bool inputsAreSelectors = false; // the inputs' names are selectors of the form's inputs
    /** Values read from the login page, sent with the form (or, get*, in the submit URL). */
    std::vector<std::pair<std::string, DefinitionField>> selectorInputs, getSelectorInputs;
    std::vector<std::string> cookies; // "name=value", set before the login
    Pairs headers;                    // the login's own; else the search's apply
    /** A page that matches selector is the site's refusal; message says why in its words. */
    struct Error {
        std::string selector;
        bool hasMessage = false;
        DefinitionField message;
    };
    std::vector<Error> errors;
    /** An image the user must read: a person has to log in (--login). */
    struct Captcha {
        bool present = false;
        std::string selector, input;
    };
    Captcha captcha;
};

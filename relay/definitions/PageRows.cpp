#include "relay/definitions/PageRows.h"

#include "relay/definitions/XmlDocument.h"

#include <QString>
#include <QStringDecoder>

namespace {

PageFailure FailureOf(HtmlDocument::Failure failure)
{
    switch (failure) {
    case HtmlDocument::Failure::None:
        return PageFailure::None;
    case HtmlDocument::Failure::TooDeep:
        return PageFailure::TooDeep;
    case HtmlDocument::Failure::TooLarge:
        return PageFailure::TooLarge;
    case HtmlDocument::Failure::TimedOut:
        return PageFailure::TimedOut;
    }
    return PageFailure::NotUnderstood;
}

/** The page is one of the site's error blocks: its message, in out. */
bool SiteError(const CompiledDefinition& d, const GumboNode* root, const TemplateValues& values,
               PageRows& out)
{
    CssCache selectors;
    for (const CompiledDefinition::CompiledError& e : d.compiledErrors) {
        const GumboNode* found = selectors(e.css, values).SelectFirst(root);
        if (!found) continue;
        const std::string& text = d.errors[size_t(&e - d.compiledErrors.data())].messageText;
        out.failure = PageFailure::SiteError;
        if (!text.empty()) {
            out.detail = text;
            return true;
        }
        const GumboNode* message =
            e.messageCss.empty() ? found : selectors(e.messageCss, values).SelectFirst(root);
        out.detail = message ? TextContent(message) : std::string();
        out.messageFromPage = true;
        return true;
    }
    return false;
}

} // namespace

std::unique_ptr<HtmlDocument> ParsePage(const QByteArray& body, const std::string& charset,
                                        const HtmlLimits& limits, PageFailure& failure)
{
    QStringDecoder decoder(charset.c_str());
    if (!decoder.isValid()) decoder = QStringDecoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(body);
    auto document = std::make_unique<HtmlDocument>(text.toStdString(), limits);
    failure = FailureOf(document->failure());
    if (failure != PageFailure::None) return nullptr;
    return document;
}

PageRows ReadRows(const CompiledDefinition& d, size_t path, const QByteArray& body,
                  const std::string& charset, const std::string& pageUrl,
                  const TemplateValues& values, const PageLimits& limits)
{
    PageRows out;
    if (d.json) {
        if (!ExtractJsonAnswer(d, d.paths[path], body, pageUrl, values, out.rows, out.detail))
            out.failure = PageFailure::NotUnderstood;
        return out;
    }
    if (d.xml) {
        const XmlDocument feed(body, limits.xmlNodes);
        if (feed.tooLarge()) {
            out.failure = PageFailure::TooLarge;
        } else if (!feed.root()) {
            out.failure = PageFailure::NotUnderstood;
            out.detail = "not XML";
        } else {
            out.rows = ExtractRows(d, feed.root(), pageUrl, values);
        }
        return out;
    }
    const auto document = ParsePage(body, charset, limits.html, out.failure);
    if (!document || SiteError(d, document->root(), values, out)) return out;
    if (limits.needsLoginMark && !d.loginTest.empty()) {
        CssCache selectors;
        if (!selectors(d.loginTest, values).SelectFirst(document->root())) {
            out.failure = PageFailure::LoggedOut;
            return out;
        }
    }
    out.rows = ExtractRows(d, *document, pageUrl, values);
    return out;
}

#include "DlrManifestHandler.h"

#include <QDebug>
#include <QHash>
#include <QRegularExpression>
#include <QXmlInputSource>
#include <QXmlSimpleReader>

#include <algorithm>
#include <array>
#include <cstring>

namespace {
// QXmlSimpleReader descends one level of recursion per nested element, so a document nested
// deeply enough overflows the stack. This source watches the text as the reader takes it and
// ends the document early once elements nest deeper than any manifest needs; the reader then
// reports an unexpected end like any other malformed input. Entities cannot add much on top:
// the reader caps an entity's expansion at a few thousand characters.
class DepthLimitedSource : public QXmlInputSource
{
public:
    static constexpr int MaxDepth = 256;

    DepthLimitedSource() = default;

    QChar next() override
    {
        const QChar c = QXmlInputSource::next();
        if (refused)
            return QChar(EndOfDocument);
        if (c.unicode() != EndOfData && c.unicode() != EndOfDocument)
            watch(c);
        return refused ? QChar(EndOfDocument) : c;
    }

private:
    enum class State { Text, Open, StartTag, Quote, EndTag, Bang, Comment, CData, Doctype, Pi };

    void watch(QChar c)
    {
        std::copy(tail.begin() + 1, tail.end(), tail.begin());
        tail.back() = c.unicode();
        switch (state) {
        case State::Text:
            if (c == QLatin1Char('<'))
                state = State::Open;
            break;
        case State::Open:
            if (c == QLatin1Char('/')) {
                state = State::EndTag;
            } else if (c == QLatin1Char('!')) {
                state = State::Bang;
            } else if (c == QLatin1Char('?')) {
                state = State::Pi;
            } else {
                state = State::StartTag;
                lastInTag = c;
                if (++depth > MaxDepth) {
                    qWarning() << "Manifest nested deeper than" << MaxDepth
                               << "elements, not reading further";
                    refused = true;
                }
            }
            break;
        case State::StartTag:
            if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
                quote = c;
                state = State::Quote;
            } else if (c == QLatin1Char('>')) {
                if (lastInTag == QLatin1Char('/'))
                    --depth;
                state = State::Text;
            } else if (!c.isSpace()) {
                lastInTag = c;
            }
            break;
        case State::Quote:
            if (c == quote)
                state = State::StartTag;
            break;
        case State::EndTag:
            if (c == QLatin1Char('>')) {
                --depth;
                state = State::Text;
            }
            break;
        case State::Bang:
            if (endsWith("<!--"))
                state = State::Comment;
            else if (endsWith("<![CDATA["))
                state = State::CData;
            else if (!QStringLiteral("-[CDATA").contains(c))
                state = State::Doctype;
            break;
        case State::Comment:
            if (endsWith("-->"))
                state = State::Text;
            break;
        case State::CData:
            if (endsWith("]]>"))
                state = State::Text;
            break;
        case State::Doctype:
            // Brackets of the internal subset and quoted literals may hold '>'.
            if (doctypeQuote.isNull()) {
                if (c == QLatin1Char('"') || c == QLatin1Char('\''))
                    doctypeQuote = c;
                else if (c == QLatin1Char('['))
                    ++brackets;
                else if (c == QLatin1Char(']'))
                    --brackets;
                else if (c == QLatin1Char('>') && brackets <= 0)
                    state = State::Text;
            } else if (c == doctypeQuote) {
                doctypeQuote = QChar();
            }
            break;
        case State::Pi:
            if (endsWith("?>"))
                state = State::Text;
            break;
        }
    }

    State state = State::Text;
    // Whether the text read so far ends with the delimiter.
    bool endsWith(const char *delimiter) const
    {
        const size_t n = std::strlen(delimiter);
        for (size_t i = 0; i < n; ++i) {
            if (tail[tail.size() - n + i] != char16_t(delimiter[i]))
                return false;
        }
        return true;
    }

    std::array<char16_t, 9> tail{}; // the last few characters, for the longer delimiters
    QChar quote;
    QChar doctypeQuote;
    QChar lastInTag;
    int brackets = 0;
    int depth = 0;
    bool refused = false;
};
} // namespace

DlrManifestHandler::DlrManifestHandler(QList<DlrManifestElement> *target, QUrl *successUrl)
    : target(target)
    , successUrl(successUrl)
{}

DlrManifestHandler::~DlrManifestHandler() = default;

bool DlrManifestHandler::startElement(const QString &,
                                      const QString &localName,
                                      const QString &,
                                      const QXmlAttributes &)
{
    static const QHash<QString, Field> fields = {
            {QStringLiteral("Name"), Field::Name},
            {QStringLiteral("BuildID"), Field::BuildId},
            {QStringLiteral("SimpleName"), Field::SimpleName},
            {QStringLiteral("DownloadURL"), Field::DownloadUrl},
            {QStringLiteral("FileSize"), Field::FileSize},
            {QStringLiteral("DLRSuccessURL"), Field::SuccessUrl},
            {QStringLiteral("VersionMajor"), Field::VersionMajor},
            {QStringLiteral("VersionMinor"), Field::VersionMinor},
            {QStringLiteral("VersionBeta"), Field::VersionBeta},
            {QStringLiteral("DefaultBehavior"), Field::DefaultBehavior},
            {QStringLiteral("SHA256"), Field::Sha256},
            {QStringLiteral("ManifestVersion"), Field::ListVersion},
            {QStringLiteral("ManifestExpires"), Field::ListExpires},
    };

    if (localName == QLatin1String("ProductInfo")) {
        target->append(DlrManifestElement());
        currentField = Field::None;
        ++openOffers;
    } else {
        currentField = fields.value(localName, Field::None);
    }
    // A digest belongs to the offer around it, never to one already closed or not yet begun.
    if (currentField == Field::Sha256 && openOffers == 0) {
        qWarning() << "Ignoring a SHA256 outside a ProductInfo";
        currentField = Field::None;
    }
    return true;
}

bool DlrManifestHandler::endElement(const QString &, const QString &localName, const QString &)
{
    if (localName == QLatin1String("ProductInfo") && openOffers > 0)
        --openOffers;
    return true;
}

bool DlrManifestHandler::characters(const QString &text)
{
    // The list's own facts belong to no offer: they count wherever they stand.
    if (currentField == Field::ListVersion || currentField == Field::ListExpires) {
        (currentField == Field::ListVersion ? facts.version : facts.expires) = text;
        currentField = Field::None;
        return true;
    }
    if (target->isEmpty()) {
        if (currentField != Field::None && currentField != Field::SuccessUrl) {
            qDebug() << "Unexpected empty manifest cdata found";
            return false;
        }
        // A success address before the first offer is not taken.
        return true;
    }

    DlrManifestElement &offer = target->last();
    switch (currentField) {
    case Field::None:
        break;
    case Field::Name:
        offer.name = text;
        break;
    case Field::BuildId:
        offer.buildId = text;
        break;
    case Field::SimpleName:
        offer.simpleName = text;
        break;
    case Field::DownloadUrl:
        offer.downloadUrl = QUrl(text, QUrl::TolerantMode);
        break;
    case Field::FileSize:
        offer.fileSize = text.toLongLong(); // 0 when not a number
        break;
    case Field::SuccessUrl:
        if (successUrl)
            *successUrl = QUrl(text, QUrl::TolerantMode);
        break;
    case Field::VersionMajor:
        offer.SetVersion(text, QString(), QString());
        break;
    case Field::VersionMinor:
        offer.SetVersion(QString(), text, QString());
        break;
    case Field::VersionBeta:
        offer.SetVersion(QString(), QString(), text);
        break;
    case Field::DefaultBehavior:
        offer.defaultBehavior = text;
        break;
    case Field::ListVersion:
    case Field::ListExpires:
        break; // taken above
    case Field::Sha256: {
        // A digest that cannot be one would fail every download; the offer is taken as if it
        // carried none.
        static const QRegularExpression hex(QStringLiteral("\\A[0-9a-fA-F]{64}\\z"));
        const QString digest = text.trimmed();
        if (hex.match(digest).hasMatch())
            offer.sha256 = digest.toLower();
        else
            qWarning() << "Ignoring a SHA256 that is not 64 hex digits:" << digest.left(80);
        break;
    }
    }
    // Only the first piece of text after a start tag counts.
    currentField = Field::None;
    return true;
}

bool DlrManifestHandler::fatalError(const QXmlParseException &exception)
{
    qWarning() << "Fatal error on line" << exception.lineNumber() << ", column"
               << exception.columnNumber() << ":" << exception.message();
    stopReason = QStringLiteral("line %1, column %2: %3")
                         .arg(exception.lineNumber())
                         .arg(exception.columnNumber())
                         .arg(exception.message());
    return false;
}

bool DlrManifestHandler::ParseData(const QByteArray &document,
                                   QList<DlrManifestElement> *target,
                                   QUrl *successUrl,
                                   QString *error,
                                   ListFacts *facts)
{
    DepthLimitedSource source;
    source.setData(document);
    QXmlSimpleReader reader;
    DlrManifestHandler handler(target, successUrl);
    reader.setContentHandler(&handler);
    reader.setErrorHandler(&handler);
    const bool parsed = reader.parse(&source);
    if (!parsed && error)
        *error = handler.stopReason.isEmpty() ? QStringLiteral("not a complete document")
                                              : handler.stopReason;
    if (facts)
        *facts = handler.facts;
    return parsed;
}

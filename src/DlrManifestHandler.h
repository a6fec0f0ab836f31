#pragma once

#include "DlrManifestElement.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <QXmlDefaultHandler>

// Qt 5's SAX reader is deprecated but is what the manifest is read with; its declarations here
// must not warn in every file that includes this one.
QT_WARNING_PUSH
QT_WARNING_DISABLE_DEPRECATED

// Reads one manifest document (SAX events of QXmlSimpleReader) into offer records appended to
// the caller's list. Elements count by local name wherever they stand; the first piece of text
// after a field's start tag is that field's value.
class DlrManifestHandler : public QXmlDefaultHandler
{
public:
    // Records are appended to target (never cleared). The document-wide success address goes
    // to successUrl when it is given.
    explicit DlrManifestHandler(QList<DlrManifestElement> *target, QUrl *successUrl = nullptr);
    ~DlrManifestHandler() override;

    bool startElement(const QString &namespaceURI,
                      const QString &localName,
                      const QString &qName,
                      const QXmlAttributes &attributes) override;
    bool endElement(const QString &namespaceURI,
                    const QString &localName,
                    const QString &qName) override;
    bool characters(const QString &text) override;
    bool fatalError(const QXmlParseException &exception) override;

    // What a document says about itself, beside its offers: the texts of <ManifestVersion> and
    // <ManifestExpires> (null when it has none; a later one replaces an earlier one).
    struct ListFacts
    {
        QString version;
        QString expires;
    };

    // The one way every manifest is read: a default reader with this handler as content and
    // error handler. True when the document was read to its end; records read before a failure
    // stay in target, and *error (when given) says where the reader stopped and why ("line 3,
    // column 20: tag mismatch"). Documents nested too deeply for the reader are refused.
    static bool ParseData(const QByteArray &document,
                          QList<DlrManifestElement> *target,
                          QUrl *successUrl = nullptr,
                          QString *error = nullptr,
                          ListFacts *facts = nullptr);

    enum class Field {
        None,
        Name,
        BuildId,
        SimpleName,
        DownloadUrl,
        FileSize,
        SuccessUrl,
        VersionMajor,
        VersionMinor,
        VersionBeta,
        DefaultBehavior,
        Sha256,
        ListVersion,
        ListExpires
    };

    QList<DlrManifestElement> *target;
    QUrl *successUrl;
    ListFacts facts;
    Field currentField = Field::None;
    // ProductInfo elements open around the reader: a digest counts only inside one.
    int openOffers = 0;
    QString stopReason;
};

QT_WARNING_POP

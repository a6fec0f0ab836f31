#include "DlrManifestElement.h"

#include <QDebug>
#include <QRegularExpression>

QString ProductVersion::VersionText() const
{
    return major + QLatin1Char('.') + minor + suffix;
}

QString DlrManifestElement::label() const
{
    return simpleName.isEmpty() ? name : simpleName;
}

void DlrManifestElement::SetVersion(const QString &major, const QString &minor, const QString &beta)
{
    if (!major.isEmpty())
        versionMajor = major;
    if (!minor.isEmpty())
        versionMinor = minor;
    const QString trimmed = beta.trimmed();
    if (!trimmed.isEmpty())
        versionBeta = trimmed;
}

bool DlrManifestElement::GetVersion(QString &version) const
{
    static const QRegularExpression twoDigitVersion(QStringLiteral("([1-9][0-9]\\.[0-9]+)"));
    const QString text = label();
    const QRegularExpressionMatch match = twoDigitVersion.match(text);
    if (!match.hasMatch()) {
        qDebug() << "Product with no version" << text;
        return true;
    }
    version = match.captured(1);
    return false;
}

ProductVersion DlrManifestElement::GetProductVersion()
{
    // Versions the manifest gave in full always win over what the label says.
    if (versionMajor.isNull() || versionMinor.isNull()) {
        static const QRegularExpression labelVersion(
                QStringLiteral("-(?P<major>\\d+)\\.(?P<minor>\\d+)(?P<beta>[A-Za-z0-9]+)?"),
                QRegularExpression::CaseInsensitiveOption | QRegularExpression::MultilineOption
                        | QRegularExpression::ExtendedPatternSyntaxOption);
        const QRegularExpressionMatch match = labelVersion.match(label());
        if (match.hasMatch())
            SetVersion(match.captured(QStringLiteral("major")),
                       match.captured(QStringLiteral("minor")),
                       match.captured(QStringLiteral("beta")));
    }
    return ProductVersion{versionMajor, versionMinor, versionBeta};
}

ProductVersion DlrManifestElement::GetMajorVersion()
{
    return ProductVersion{GetProductVersion().major, QStringLiteral("0"), QString()};
}

QString DlrManifestElement::VersionText()
{
    return GetProductVersion().VersionText();
}

bool IsWorkserverOffer(const DlrManifestElement &offer)
{
    return offer.label().contains(QLatin1String("Workserver"));
}

bool IsTfmOffer(const DlrManifestElement &offer)
{
    const QString label = offer.label();
    return label.contains(QLatin1String("Tessaline")) && label.contains(QLatin1String("for Maya"));
}

bool IsAtelierOffer(const DlrManifestElement &offer)
{
    const QString label = offer.label();
    return label.contains(QLatin1String("Tessaline")) && label.contains(QLatin1String("Atelier"))
           && label.contains(QLatin1String("Maya"));
}

bool IsHarrowOffer(const DlrManifestElement &offer)
{
    return offer.label().contains(QLatin1String("Harrow"));
}

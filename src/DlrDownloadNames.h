#pragma once

#include <QDir>
#include <QString>

#include <functional>

// The naming rules of product downloads, apart from any network or application state: which
// folder downloads go to, which file name an offer may use, the free temporary name for a
// download and the final name a finished temporary file takes.
namespace DlrDownloadNames {

// Suffix of a file still being downloaded (without its dot).
inline constexpr char TempSuffix[] = "tessdownload";
// What a download goes to when no name at all can be found.
inline constexpr char LastResortName[] = "unkown.tessdownload";

// An offer's name comes from the network: only its file-name part is ever used, so it can
// never reach outside the download folder. Everything up to the last "/", "\" or ":" (a drive
// letter) is dropped; an empty result, "." or "..", or one with control characters is not
// usable and gives an empty text.
QString safeFileName(const QString &offerName);

// B and S of a file name: everything before and after its last "." (no "." gives an empty S).
QString baseName(const QString &fileName);
QString suffix(const QString &fileName);

// folder + "/" + B + "." + S for n = 0, else folder + "/" + B + "-" + n + "." + S.
QString finalCandidate(const QString &folder, const QString &base, const QString &suffix, int n);

// The temporary name for downloading fileName into folder: the first numbered final name
// (0 to 9999) for which neither it nor its temporary name exists, plus ".tessdownload"; then
// the emergency names "tess-" m "." S (m = 1 to 9999); then LastResortName. exists answers
// whether a path is taken.
QString chooseTempName(const QString &folder,
                       const QString &fileName,
                       const std::function<bool(const QString &)> &exists);

// The final name of a temporary name: the name without ".tessdownload". A name without that
// suffix is returned unchanged and *unexpected is set.
QString finalNameFromTempName(const QString &tempName, bool *unexpected = nullptr);

// Which folder the downloads go to.
enum class Folder { Downloads, Temporary, Working };

// The download folder: downloads when it exists and is writable, else temp likewise (the
// user's own temporary folder; empty when there is none that is private), else the empty QDir
// (the working directory). Logs each refusal; *which tells the choice.
QDir chooseDownloadFolder(const QString &downloads, const QString &temp, Folder *which = nullptr);

} // namespace DlrDownloadNames

#pragma once

#include <QString>

// What an installed product says of itself: its version and build id, read from its build-id
// file ("Tessaline Workserver 24.4 @2226589") or from the "-version" output of one of its
// executables ("Tessaline 24.4" ... "linked ... @2226589"). Both readers return true on failure.
namespace DlrVersionProbe {

// A product prints its version and build id in a line or two. Reading no more than this keeps a
// product that prints megabytes, or a build-id file of 100 MB, from costing more memory than
// this; the expressions then look only at the start of what it wrote.
constexpr qint64 MaxTextBytes = 64 * 1024;
// How long a product executable may take to answer "-version"; it is killed after that.
constexpr int WaitMs = 10000;

bool fromFile(const QString &path, int &buildId, int &major, int &minor);
bool fromExecutable(const QString &path, int &buildId, int &major, int &minor, QString &suffix);

} // namespace DlrVersionProbe

#pragma once

// A made-up machine in a temporary folder, built by tools/machine/make-machine.py (see the top
// of that script for what a description may hold), for the survey to look at.

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

namespace TessTest {

class FakeMachine
{
public:
    QString root() const { return folder.path(); }

    // Adds to the machine what the command-line options say ({"--json", "-"}: the JSON
    // description in input). False, with the script's output in *error, when the script failed.
    bool build(const QStringList &options, QString *error = nullptr, const QByteArray &input = {});
    // Points the platform layer at this machine.
    void activate() { qputenv("TESSINSTALLER_ROOT", QFile::encodeName(root())); }

private:
    QTemporaryDir folder{QDir::tempPath() + "/tessmachine.XXXXXX"};
};

} // namespace TessTest

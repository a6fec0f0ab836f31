#pragma once

// A made-up machine in a temporary folder, built by tools/machine/make-machine.py.

#include "PackageBuilder.h"
#include "TestSupport.h"

#include <QTemporaryDir>

namespace TessTest {

class FakeMachine
{
public:
    QString root() const { return folder.path(); }

    // Adds to the machine what the command-line options say ({"--json", "-"}: the JSON
    // description in input). False, with the script's output in *error, when the script failed.
    bool build(const QStringList &options, QString *error = nullptr, const QByteArray &input = {})
    {
        const QStringList script{sourceDir() + "/tools/machine/make-machine.py", root()};
        return runTool(qEnvironmentVariable("PYTHON3", "python3"), script + options, error, input);
    }
    // Points the platform layer at this machine.
    void activate() { qputenv("TESSINSTALLER_ROOT", QFile::encodeName(root())); }

private:
    QTemporaryDir folder{QDir::tempPath() + "/tessmachine.XXXXXX"};
};

} // namespace TessTest

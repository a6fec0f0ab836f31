#pragma once

// A made-up machine in a temporary folder, built by tools/machine/make-machine.py (see the top
// of that script for what a description may hold), for the survey to look at.

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace TessTest {

class FakeMachine
{
public:
    FakeMachine();
    // Puts TESSINSTALLER_ROOT back as it was before activate().
    ~FakeMachine();

    bool isValid() const { return folder.isValid(); }
    QString root() const { return folder.path(); }
    // Where installed products live: Program Files/Orrel.
    QString orrel() const { return root() + QStringLiteral("/opt/Orrel"); }

    // Adds to the machine what the JSON description or the command-line options say. False,
    // with the script's output in *error, when the script failed.
    bool build(const QJsonObject &description, QString *error = nullptr);
    bool build(const QStringList &options, QString *error = nullptr);
    // Builds several machines with one run of the script (its start-up is what costs).
    static bool buildAll(const QList<QPair<FakeMachine *, QJsonObject>> &machines,
                         QString *error = nullptr);

    // Points the platform layer at this machine until the object goes.
    void activate();

private:
    static bool run(const QStringList &arguments, const QByteArray &input, QString *error);

    QTemporaryDir folder;
    bool active = false;
    bool hadRoot = false;
    QByteArray previousRoot;
};

} // namespace TessTest

#include "FakeMachine.h"

#include "PackageBuilder.h"
#include "TestSupport.h"

namespace TessTest {

bool FakeMachine::build(const QStringList &options, QString *error, const QByteArray &input)
{
    const QStringList arguments{sourceDir() + "/tools/machine/make-machine.py", root()};
    return runTool(qEnvironmentVariable("PYTHON3", "python3"), arguments + options, error, input);
}

} // namespace TessTest

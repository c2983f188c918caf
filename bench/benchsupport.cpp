#include "benchsupport.h"

#include <QProcess>

#include <algorithm>
#include <cstdio>

namespace BenchSupport {

void say(const QString& text)
{
    std::fprintf(stdout, "%s\n", qPrintable(text));
    std::fflush(stdout);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void startStep(QProcess& child, const QString& program, const QStringList& args,
               const QString& callgrindOutput)
{
    if (callgrindOutput.isEmpty()) {
        child.start(program, args);
        return;
    }
    child.start(QStringLiteral("valgrind"), QStringList{QStringLiteral("--tool=callgrind"),
                                                        QStringLiteral("--callgrind-out-file=") + callgrindOutput,
                                                        program}
                                                + args);
}

void sayProfileWritten(const QString& callgrindOutput)
{
    say(QStringLiteral("profile written to %1; read it with: callgrind_annotate --inclusive=yes %1")
            .arg(callgrindOutput));
}

} // namespace BenchSupport

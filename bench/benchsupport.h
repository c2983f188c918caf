#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include <QString>
#include <QStringList>

#include <vector>

class QProcess;

// What the benchmark programs share: they time their own step in a child
// process (so its CPU time and peak RSS are its own), or run that child once
// under valgrind's callgrind to count its instructions instead.
namespace BenchSupport {

// One line on standard output, flushed at once.
void say(const QString& text);

double median(std::vector<double> values);

// Starts `program` with `args` in `child`; with a callgrind output file, the
// program runs under callgrind and writes its profile there.
void startStep(QProcess& child, const QString& program, const QStringList& args,
               const QString& callgrindOutput);

// The line that tells where a profile went and how to read it.
void sayProfileWritten(const QString& callgrindOutput);

} // namespace BenchSupport

#endif

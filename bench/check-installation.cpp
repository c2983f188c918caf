// Benchmark: checking an installation against a product ini.
//
// Builds a tree of files (by default 2000 files of 1 GiB in total plus one
// file of 1 GiB; --big-mib 0 leaves the big file out) below this program's directory, which is the application
// directory the list builder checks, and a product ini in a work directory
// that lists every file as current. It then times, in turn, `md5sum` over the
// same files and the list builder (run in a child process of its own, so its
// peak RSS is its own), and prints both times, their ratio and the builder's
// peak RSS. Page cache is warmed first, so both read from memory.
//
// Targets: the builder within 1.2x of md5sum; peak RSS under 64 MiB.
//
// With --callgrind FILE it runs the list builder once under valgrind's
// callgrind instead (no md5sum, no timing), writing the profile to FILE.
//
//   check-installation [--files N] [--total-mib M] [--big-mib B] [--rounds R]
//                      [--callgrind FILE]

#include "benchsupport.h"
#include "configuration.h"
#include "makedownloadreplacelisttaskspecification.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace BenchSupport;

namespace {

const QString ClientType = QStringLiteral("client_linux_x86");
const QString BuilderMode = QStringLiteral("--run-builder");

struct Options
{
    int files = 2000;
    qint64 totalMiB = 1024;
    qint64 bigMiB = 1024;
    int rounds = 3;
    QString callgrindOutput;
};

struct BuilderResult
{
    bool ok = false;
    double seconds = 0;
    long peakRssKiB = 0;
};

// Fills files with pseudo-random bytes (incompressible, no page sharing) and
// returns their MD5, computed while writing.
class ContentWriter
{
public:
    ContentWriter()
        : buffer(1 << 20)
    {
    }

    bool write(const QString& path, qint64 size, QString& md5)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        QCryptographicHash hash(QCryptographicHash::Md5);
        for (qint64 left = size; left > 0;) {
            const qint64 count = std::min<qint64>(left, qint64(buffer.size()) * 8);
            for (size_t index = 0; index < size_t((count + 7) / 8); ++index)
                buffer[index] = next();
            const char* bytes = reinterpret_cast<const char*>(buffer.data());
            if (file.write(bytes, count) != count)
                return false;
            hash.addData(QByteArrayView(bytes, count));
            left -= count;
        }
        md5 = QString::fromLatin1(hash.result().toHex());
        return file.flush();
    }

private:
    quint64 next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }

    std::vector<quint64> buffer;
    quint64 state = 0x9E3779B97F4A7C15ull;
};

// Runs in the child: one pass of the list builder through its task, as an
// update run does it.
int runBuilder(const QString& workDir)
{
    Configuration config;
    config.updateType.type = ClientType;
    config.tempDir = workDir;
    FileSpecifications lists;
    MakeDownloadReplaceListTaskSpecification task(&config, lists, nullptr, 1.0);
    QEventLoop loop;
    QObject::connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    QStringList messages;
    QObject::connect(&task, &TaskSpecification::message,
                     [&messages](const QString& line) { messages << line; });

    QElapsedTimer timer;
    timer.start();
    task.execute();
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;

    // Every file is installed and current: all three lists must be empty.
    const bool ok = task.state == TaskState::Finished && lists.downloads.isEmpty()
        && lists.replacements.isEmpty() && lists.deletions.isEmpty();
    if (!ok)
        std::fprintf(stderr, "%s\n", qPrintable(messages.join(QLatin1Char('\n'))));
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%d %.6f %ld\n", ok ? 1 : 0, seconds, usage.ru_maxrss);
    return ok ? 0 : 1;
}

BuilderResult timeBuilder(const QString& workDir, const QString& callgrindOutput = QString())
{
    BuilderResult result;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    startStep(child, QCoreApplication::applicationFilePath(), {BuilderMode, workDir}, callgrindOutput);
    if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit)
        return result;
    const QStringList fields = QString::fromLatin1(child.readAllStandardOutput()).split(
        QLatin1Char(' '), Qt::SkipEmptyParts);
    if (fields.size() != 3)
        return result;
    result.ok = fields.at(0) == QLatin1String("1");
    result.seconds = fields.at(1).toDouble();
    result.peakRssKiB = fields.at(2).trimmed().toLong();
    return result;
}

double timeMd5sum(const QString& treeDir, const QStringList& files)
{
    QProcess md5sum;
    md5sum.setWorkingDirectory(treeDir);
    md5sum.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    md5sum.start(QStringLiteral("md5sum"), files);
    if (!md5sum.waitForFinished(-1) || md5sum.exitStatus() != QProcess::NormalExit
        || md5sum.exitCode() != 0)
        return -1;
    return timer.nsecsElapsed() / 1e9;
}

bool parseOptions(const QStringList& arguments, Options& options)
{
    for (int index = 1; index < arguments.size(); ++index) {
        const QString& name = arguments.at(index);
        if (name == QLatin1String("--callgrind") && index + 1 < arguments.size()) {
            options.callgrindOutput = QFileInfo(arguments.at(++index)).absoluteFilePath();
            continue;
        }
        bool ok = index + 1 < arguments.size();
        const qint64 value = ok ? arguments.at(++index).toLongLong(&ok) : 0;
        // Only the big file may be left out.
        if (!ok || value < (name == QLatin1String("--big-mib") ? 0 : 1))
            return false;
        if (name == QLatin1String("--files"))
            options.files = int(value);
        else if (name == QLatin1String("--total-mib"))
            options.totalMiB = value;
        else if (name == QLatin1String("--big-mib"))
            options.bigMiB = value;
        else if (name == QLatin1String("--rounds"))
            options.rounds = int(value);
        else
            return false;
    }
    return true;
}

int runBenchmark(const Options& options)
{
    // The list builder checks files below the application directory, which
    // is this program's own directory.
    const QString appRoot = Configuration::getAppRootPath();
    QTemporaryDir tree(appRoot + QStringLiteral("/check-installation-XXXXXX"));
    QTemporaryDir work;
    if (!tree.isValid() || !work.isValid()) {
        say(QStringLiteral("cannot create the tree or the work directory"));
        return 1;
    }
    const QString treeName = QDir(appRoot).relativeFilePath(tree.path());

    say(QStringLiteral("Writing %1 files of %2 MiB in total and a big file of %3 MiB (0: none) below %4")
            .arg(QString::number(options.files), QString::number(options.totalMiB),
                 QString::number(options.bigMiB), tree.path()));
    QStringList files;
    QByteArray ini = "[files]\n";
    ContentWriter writer;
    const qint64 totalBytes = options.totalMiB << 20;
    // Sizes spread from a quarter to seven quarters of the mean, so that
    // small and large files both occur; the last file takes the remainder.
    qint64 written = 0;
    const int count = options.bigMiB > 0 ? options.files + 1 : options.files;
    for (int index = 0; index < count; ++index) {
        const bool big = index == options.files;
        const qint64 mean = totalBytes / options.files;
        qint64 size = big ? options.bigMiB << 20 : mean / 4 + (mean * 6 / 4) * (index % 97) / 96;
        if (index == options.files - 1)
            size = std::max<qint64>(0, totalBytes - written);
        else if (!big)
            size = std::min(size, totalBytes - written);
        written += big ? 0 : size;
        const QString name = big ? QStringLiteral("big.bin")
                                 : QStringLiteral("files/%1/%2.bin")
                                       .arg(index / 100, 2, 10, QLatin1Char('0'))
                                       .arg(index, 4, 10, QLatin1Char('0'));
        QString md5;
        if (!QDir().mkpath(QFileInfo(tree.filePath(name)).absolutePath())
            || !writer.write(tree.filePath(name), size, md5)) {
            say(QStringLiteral("cannot write %1").arg(tree.filePath(name)));
            return 1;
        }
        files << name;
        ini += (treeName + QLatin1Char('/') + name).toUtf8() + "=" + md5.toLatin1() + "::"
            + QByteArray::number(size) + "\n";
    }
    QFile iniFile(work.filePath(ClientType + QStringLiteral(".ini")));
    if (!iniFile.open(QIODevice::WriteOnly) || iniFile.write(ini) != ini.size()
        || !iniFile.flush()) {
        say(QStringLiteral("cannot write the product ini"));
        return 1;
    }
    iniFile.close();

    say(QStringLiteral("Warming the page cache"));
    if (timeMd5sum(tree.path(), files) < 0) {
        say(QStringLiteral("md5sum failed"));
        return 1;
    }
    if (!options.callgrindOutput.isEmpty()) {
        if (!timeBuilder(work.path(), options.callgrindOutput).ok) {
            say(QStringLiteral("the list builder failed under callgrind"));
            return 1;
        }
        sayProfileWritten(options.callgrindOutput);
        return 0;
    }

    std::vector<double> md5sumTimes;
    std::vector<double> builderTimes;
    long peakRssKiB = 0;
    for (int round = 1; round <= options.rounds; ++round) {
        const double md5sumSeconds = timeMd5sum(tree.path(), files);
        const BuilderResult builder = timeBuilder(work.path());
        if (md5sumSeconds < 0 || !builder.ok) {
            say(QStringLiteral("round %1 failed (md5sum %2, list builder %3)")
                    .arg(QString::number(round), md5sumSeconds < 0 ? "failed" : "ok",
                         builder.ok ? "ok" : "failed"));
            return 1;
        }
        md5sumTimes.push_back(md5sumSeconds);
        builderTimes.push_back(builder.seconds);
        peakRssKiB = std::max(peakRssKiB, builder.peakRssKiB);
        say(QStringLiteral("round %1: md5sum %2 s, list builder %3 s, ratio %4, peak RSS %5 MiB")
                .arg(QString::number(round), QString::number(md5sumSeconds, 'f', 3),
                     QString::number(builder.seconds, 'f', 3),
                     QString::number(builder.seconds / md5sumSeconds, 'f', 3),
                     QString::number(builder.peakRssKiB / 1024.0, 'f', 1)));
    }

    const double md5sumSeconds = median(md5sumTimes);
    const double builderSeconds = median(builderTimes);
    const double ratio = builderSeconds / md5sumSeconds;
    const double peakMiB = peakRssKiB / 1024.0;
    const double gib = double((options.totalMiB + options.bigMiB) << 20) / (1 << 30);
    say(QStringLiteral("median over %1 rounds, %2 files, %3 GiB:")
            .arg(QString::number(options.rounds), QString::number(files.size()),
                 QString::number(gib, 'f', 2)));
    say(QStringLiteral("  md5sum        %1 s").arg(QString::number(md5sumSeconds, 'f', 3)));
    say(QStringLiteral("  list builder  %1 s").arg(QString::number(builderSeconds, 'f', 3)));
    say(QStringLiteral("  ratio         %1 (target <= 1.20): %2")
            .arg(QString::number(ratio, 'f', 3), ratio <= 1.2 ? "met" : "MISSED"));
    say(QStringLiteral("  peak RSS      %1 MiB (target < 64): %2")
            .arg(QString::number(peakMiB, 'f', 1), peakMiB < 64 ? "met" : "MISSED"));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() == 3 && arguments.at(1) == BuilderMode)
        return runBuilder(arguments.at(2));

    Options options;
    if (!parseOptions(arguments, options)) {
        say(QStringLiteral("usage: check-installation [--files N] [--total-mib M] [--big-mib B] "
                           "[--rounds R] [--callgrind FILE]"));
        return 2;
    }
    return runBenchmark(options);
}

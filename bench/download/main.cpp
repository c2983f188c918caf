// Benchmark: downloading a release from a local mirror.
//
// Writes a release (by default 200 files of 5 MiB of incompressible bytes)
// below a temporary directory, serves it with nginx on 127.0.0.1, and then
// times, in turn and for several rounds:
//   - the file download step with `streams` parallel downloads (six mirror
//     entries that all point at the one nginx, since a mirror serves one
//     download at a time), MD5 check of every file included, in a child
//     process of its own so that its CPU time and peak RSS are its own;
//   - curl fetching the same files with the same number of parallel
//     transfers (--parallel --parallel-max).
// Both write into the temporary directory, as the updater does, or below
// --output-dir (a RAM file system there takes the disk out of the figures).
// It prints wall time, throughput, CPU time (also per MiB, with that of
// md5sum over the same files), time per file and peak RSS of each, and the
// ratio of the throughputs, checked against a target
// when one is given (--target; 1.0: at least curl's throughput). Run it with a large
// file size and a small one to see that peak RSS does not follow the size,
// and with many small files and fewer of the same size to see that the time
// per file does not follow the number of files.
//
// With --callgrind FILE it runs the download step once under valgrind's
// callgrind instead (no curl, no timing), writing the profile to FILE: an
// instruction count that a busy machine does not disturb.
//
//   download-bench [--files N] [--size-kib K | --size-mib M] [--streams S]
//                  [--rounds R] [--target T] [--output-dir DIR] [--callgrind FILE]

#include "allocatortuning.h"
#include "benchsupport.h"
#include "configuration.h"
#include "curlnetworkaccessmanager.h"
#include "downloadfilelisttaskspecification.h"
#include "filespecifications.h"
#include "ftpsiteaccessdata.h"
#include "mirrors.h"
#include "nginxserver.h"
#include "tomcryptutil.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkProxy>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace BenchSupport;

namespace {

const QString DownloadMode = QStringLiteral("--run-download");
const QString Section = QStringLiteral("client");
const int Version = 7;

struct Options
{
    int files = 200;
    qint64 sizeKiB = 5 * 1024;
    int streams = 6;
    int rounds = 3;
    double target = 0; // none
    QString callgrindOutput;
    // Where both tools write what they fetch: the temporary directory, as
    // the updater does, unless given.
    QString outputDir;
};

struct Result
{
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;
    long peakRssKiB = 0;
};

double seconds(const timeval& time)
{
    return double(time.tv_sec) + double(time.tv_usec) / 1e6;
}

double childrenCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One line per file: section, name, MD5, size.
QList<FileDownloadSpecification> readList(const QString& path)
{
    QList<FileDownloadSpecification> downloads;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return downloads;
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().trimmed().split(' ');
        if (fields.size() != 4)
            continue;
        FileDownloadSpecification record;
        record.section = QString::fromUtf8(fields[0]);
        record.fileName = QString::fromUtf8(fields[1]);
        record.md5 = QString::fromLatin1(fields[2]);
        record.size = fields[3].toULongLong();
        downloads.append(record);
    }
    return downloads;
}

// The child: the download step as a run drives it, the engine's once-a-second
// poll of the download figures included.
int runDownload(const QStringList& args)
{
    if (args.size() != 4)
        return 2;
    const QString mirrorUrl = args[0];
    const QString workDir = args[1];
    QList<FileDownloadSpecification> downloads = readList(args[2]);
    const int streams = args[3].toInt();
    crypt_init();

    CurlNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    Mirrors mirrors(nullptr);
    for (int i = 0; i < streams; ++i) {
        FTPSiteAccessData mirror;
        mirror.name = QStringLiteral("mirror%1").arg(i);
        mirror.url = mirrorUrl;
        mirror.retries = 2;
        mirrors.mirrors.append(mirror);
    }
    Configuration config;
    config.streams = streams;
    config.tempDir = workDir;

    DownloadFileListTaskSpecification step(&downloads, &manager, &mirrors, &config, nullptr, 1.0);
    // The last lines only, for a failure report: the whole log of a run is
    // the window's, and its memory no part of the step's.
    QStringList log;
    const auto keep = [&log](const QString& text) {
        log << text;
        if (log.size() > 50)
            log.removeFirst();
    };
    QObject::connect(&step, &TaskSpecification::message, &step, keep);
    QObject::connect(&mirrors, &Mirrors::message, &step, keep);
    QEventLoop loop;
    QObject::connect(&step, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(&step, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &step, [&step] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        step.timeTick(done, total, speed, downloading);
    });
    poll.start(1000);

    QElapsedTimer timer;
    timer.start();
    step.execute();
    if (step.state == TaskState::Running)
        loop.exec();
    const double elapsed = double(timer.nsecsElapsed()) / 1e9;
    const bool ok = step.state == TaskState::Finished;
    if (!ok)
        std::fprintf(stderr, "%s\n", qPrintable(log.join(QLatin1Char('\n'))));

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%d %.6f %.6f %ld\n", ok ? 1 : 0, elapsed,
                seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss);
    return ok ? 0 : 1;
}

// Incompressible bytes, written and hashed in 1 MiB pieces so the generator
// itself stays small whatever the file size.
bool writeRelease(const QString& versionDir, const Options& options, const QString& listPath)
{
    QFile list(listPath);
    if (!list.open(QIODevice::WriteOnly))
        return false;
    const qint64 size = options.sizeKiB * 1024;
    std::vector<quint32> piece(1024 * 1024 / sizeof(quint32));
    QRandomGenerator random(12345);
    const QDir dir(versionDir + QLatin1Char('/') + Section);
    if (!dir.mkpath(QStringLiteral(".")))
        return false;
    for (int i = 0; i < options.files; ++i) {
        const QString name = QStringLiteral("f%1.bin").arg(i, 4, 10, QLatin1Char('0'));
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        QCryptographicHash md5(QCryptographicHash::Md5);
        for (qint64 written = 0; written < size;) {
            random.fillRange(piece.data(), piece.size());
            const qint64 count = qMin<qint64>(size - written, qint64(piece.size() * sizeof(quint32)));
            const char* bytes = reinterpret_cast<const char*>(piece.data());
            if (file.write(bytes, count) != count)
                return false;
            md5.addData(QByteArrayView(bytes, count));
            written += count;
        }
        if (!file.flush())
            return false;
        list.write(QStringLiteral("%1 %2 %3 %4\n")
                       .arg(Section, name, QString::fromLatin1(md5.result().toHex()), QString::number(size))
                       .toUtf8());
    }
    return list.flush();
}

// With a callgrind output file, the child runs under valgrind's callgrind.
Result timeDownloadStep(const QString& mirrorUrl, const QString& workDir, const QString& listPath,
                        int streams, const QString& callgrindOutput = QString())
{
    Result result;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    startStep(child, QCoreApplication::applicationFilePath(),
              {DownloadMode, mirrorUrl, workDir, listPath, QString::number(streams)}, callgrindOutput);
    if (!child.waitForFinished(-1) || child.exitCode() != 0)
        return result;
    const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 4)
        return result;
    result.ok = fields[0] == "1";
    result.seconds = fields[1].toDouble();
    result.cpuSeconds = fields[2].toDouble();
    result.peakRssKiB = fields[3].toLong();
    return result;
}

Result timeCurl(const NginxServer& nginx, const QList<FileDownloadSpecification>& downloads,
                const QString& outDir, int streams)
{
    Result result;
    const QString configPath = outDir + QStringLiteral(".curlrc");
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly))
        return result;
    for (const FileDownloadSpecification& record : downloads) {
        config.write(QStringLiteral("url = \"%1\"\noutput = \"%2\"\n")
                         .arg(nginx.url(QStringLiteral("/release/%1/%2/%3")
                                            .arg(QString::number(Version), record.section, record.fileName)),
                              outDir + QLatin1Char('/') + record.fileName)
                         .toUtf8());
    }
    config.close();

    const double cpuBefore = childrenCpuSeconds();
    QElapsedTimer timer;
    timer.start();
    QProcess curl;
    curl.setProcessChannelMode(QProcess::ForwardedChannels);
    curl.start(QStringLiteral("curl"), {QStringLiteral("--no-progress-meter"), QStringLiteral("--show-error"),
                                        QStringLiteral("--fail"), QStringLiteral("--parallel"),
                                        QStringLiteral("--parallel-max"), QString::number(streams),
                                        QStringLiteral("--config"), configPath});
    const bool ended = curl.waitForFinished(-1);
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    result.cpuSeconds = childrenCpuSeconds() - cpuBefore;
    result.ok = ended && curl.exitStatus() == QProcess::NormalExit && curl.exitCode() == 0;
    for (const FileDownloadSpecification& record : downloads) {
        if (QFileInfo(outDir + QLatin1Char('/') + record.fileName).size() != qint64(record.size))
            result.ok = false;
    }
    return result;
}

// The CPU time of md5sum over the files curl fetched: the check that the
// download step does and curl does not, so that the two can be compared.
double md5sumCpuSeconds(const QList<FileDownloadSpecification>& downloads, const QString& dir)
{
    QStringList paths;
    for (const FileDownloadSpecification& record : downloads)
        paths << dir + QLatin1Char('/') + record.fileName;
    const double cpuBefore = childrenCpuSeconds();
    QProcess md5sum;
    md5sum.setStandardOutputFile(QProcess::nullDevice());
    md5sum.start(QStringLiteral("md5sum"), paths);
    if (!md5sum.waitForFinished(-1) || md5sum.exitCode() != 0)
        return -1;
    return childrenCpuSeconds() - cpuBefore;
}

bool parseOptions(const QStringList& args, Options& options)
{
    for (int i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size())
            return false;
        const QString value = args[i + 1];
        if (args[i] == QLatin1String("--callgrind")) {
            options.callgrindOutput = QFileInfo(value).absoluteFilePath();
            continue;
        }
        if (args[i] == QLatin1String("--output-dir")) {
            options.outputDir = QFileInfo(value).absoluteFilePath();
            continue;
        }
        bool isNumber = false;
        if (args[i] == QLatin1String("--target")) {
            options.target = value.toDouble(&isNumber);
            if (!isNumber || options.target <= 0)
                return false;
            continue;
        }
        const qlonglong number = value.toLongLong(&isNumber);
        if (!isNumber || number < 1)
            return false;
        if (args[i] == QLatin1String("--files"))
            options.files = int(number);
        else if (args[i] == QLatin1String("--size-kib"))
            options.sizeKiB = number;
        else if (args[i] == QLatin1String("--size-mib"))
            options.sizeKiB = number * 1024;
        else if (args[i] == QLatin1String("--streams"))
            options.streams = int(number);
        else if (args[i] == QLatin1String("--rounds"))
            options.rounds = int(number);
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    // The child runs the step as the update program does, allocator included.
    tuneAllocatorForDownloads();
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == DownloadMode)
        return runDownload(args.mid(2));

    Options options;
    if (!parseOptions(args, options)) {
        std::fprintf(stderr, "usage: download-bench [--files N] [--size-kib K | --size-mib M] [--streams S] "
                             "[--rounds R] [--target T] [--output-dir DIR] [--callgrind FILE]\n");
        return 2;
    }
    const QString helper = options.callgrindOutput.isEmpty() ? QStringLiteral("curl") : QStringLiteral("valgrind");
    if (NginxServer::executable().isEmpty() || QStandardPaths::findExecutable(helper).isEmpty()) {
        std::fprintf(stderr, "download-bench needs nginx and %s\n", qPrintable(helper));
        return 2;
    }

    QTemporaryDir base;
    if (!base.isValid())
        return 1;
    const QString root = base.filePath(QStringLiteral("mirror"));
    const QString listPath = base.filePath(QStringLiteral("downloads.list"));
    const qint64 totalBytes = qint64(options.files) * options.sizeKiB * 1024;
    say(QStringLiteral("release: %1 files x %2 KiB = %3 MiB; %4 streams; %5 rounds")
            .arg(QString::number(options.files), QString::number(options.sizeKiB),
                 QString::number(double(totalBytes) / (1024 * 1024), 'f', 1), QString::number(options.streams),
                 QString::number(options.callgrindOutput.isEmpty() ? options.rounds : 1)));
    if (!writeRelease(QStringLiteral("%1/release/%2").arg(root, QString::number(Version)), options, listPath)) {
        std::fprintf(stderr, "cannot write the release below %s\n", qPrintable(root));
        return 1;
    }
    // The kernel writes the new release back to the disk some seconds later,
    // in the middle of whichever run is then timed: a round of curl took
    // half as long again as the next. Written back now, it disturbs neither.
    ::sync();
    const QList<FileDownloadSpecification> downloads = readList(listPath);

    NginxServer nginx;
    if (!nginx.start(root, QString(), 3600)) {
        std::fprintf(stderr, "%s\n", qPrintable(nginx.errorString()));
        return 1;
    }
    const QString mirrorUrl = nginx.url(QStringLiteral("/release/%1").arg(Version));
    QTemporaryDir outputs(options.outputDir.isEmpty() ? QDir::tempPath() + QStringLiteral("/download-bench-out-XXXXXX")
                                                       : options.outputDir + QStringLiteral("/download-bench-out-XXXXXX"));
    if (!outputs.isValid()) {
        std::fprintf(stderr, "cannot make a directory below %s\n", qPrintable(options.outputDir));
        return 1;
    }
    const QString ourDir = outputs.filePath(QStringLiteral("ours"));
    const QString curlDir = outputs.filePath(QStringLiteral("curl"));

    if (!options.callgrindOutput.isEmpty()) {
        QDir().mkpath(ourDir);
        const Result ours = timeDownloadStep(mirrorUrl, ourDir, listPath, options.streams, options.callgrindOutput);
        if (!ours.ok) {
            std::fprintf(stderr, "the download step failed under callgrind\n");
            return 1;
        }
        sayProfileWritten(options.callgrindOutput);
        return 0;
    }

    std::vector<double> ratios, ourSeconds, curlSeconds, ourCpu, curlCpu, md5Cpu;
    long peakRssKiB = 0;
    const double mib = double(totalBytes) / (1024.0 * 1024.0);
    // Each tool writes into files of its own, which an untimed first round
    // creates and every timed round overwrites: ext4 searches past every
    // inode freed within the last minutes when it creates a file, and a tool
    // that created thousands of files after thousands had been deleted took
    // up to three times as long, whichever tool it was. What one tool wrote
    // is written back before the other starts.
    QDir().mkpath(ourDir);
    QDir().mkpath(curlDir);
    for (int round = 0; round <= options.rounds; ++round) {
        ::sync();
        const Result ours = timeDownloadStep(mirrorUrl, ourDir, listPath, options.streams);
        ::sync();
        const Result curl = timeCurl(nginx, downloads, curlDir, options.streams);
        const double md5sumCpu = curl.ok ? md5sumCpuSeconds(downloads, curlDir) : -1;
        if (!ours.ok || !curl.ok || md5sumCpu < 0) {
            std::fprintf(stderr, "round %d failed (download step %s, curl %s)\n", round,
                         ours.ok ? "ok" : "failed", curl.ok ? "ok" : "failed");
            return 1;
        }
        if (round == 0)
            continue;
        const double ratio = curl.seconds / ours.seconds;
        say(QStringLiteral("round %1: download step %2 s (%3 MiB/s, CPU %4 s, peak RSS %5 MiB), "
                           "curl %6 s (%7 MiB/s, CPU %8 s), throughput ratio %9")
                .arg(QString::number(round), QString::number(ours.seconds, 'f', 3),
                     QString::number(mib / ours.seconds, 'f', 0), QString::number(ours.cpuSeconds, 'f', 2),
                     QString::number(ours.peakRssKiB / 1024.0, 'f', 1), QString::number(curl.seconds, 'f', 3),
                     QString::number(mib / curl.seconds, 'f', 0), QString::number(curl.cpuSeconds, 'f', 2),
                     QString::number(ratio, 'f', 3)));
        ratios.push_back(ratio);
        ourSeconds.push_back(ours.seconds);
        curlSeconds.push_back(curl.seconds);
        ourCpu.push_back(ours.cpuSeconds);
        curlCpu.push_back(curl.cpuSeconds);
        md5Cpu.push_back(md5sumCpu);
        peakRssKiB = std::max(peakRssKiB, ours.peakRssKiB);
    }
    nginx.stop();

    // One line per tool, in a fixed form that scripts may read:
    // "<tool> <seconds> s, <MiB/s> MiB/s, CPU <seconds> s, per file <ms> ms".
    const auto summary = [&](const QString& tool, double wallSeconds, double cpuSeconds) {
        say(QStringLiteral("  %1 %2 s, %3 MiB/s, CPU %4 s, per file %5 ms")
                .arg(tool.leftJustified(14), QString::number(wallSeconds, 'f', 3),
                     QString::number(mib / wallSeconds, 'f', 0), QString::number(cpuSeconds, 'f', 2),
                     QString::number(wallSeconds * 1000 / options.files, 'f', 3)));
    };
    const double ratio = median(ratios);
    const double peakMiB = peakRssKiB / 1024.0;
    say(QStringLiteral("median of %1 rounds:").arg(options.rounds));
    summary(QStringLiteral("download-step"), median(ourSeconds), median(ourCpu));
    summary(QStringLiteral("curl"), median(curlSeconds), median(curlCpu));
    // The step checks every file's MD5, which curl does not: its CPU time is
    // held against curl's and md5sum's together.
    const double ourCpuPerMiB = median(ourCpu) * 1000 / mib;
    const double curlCpuPerMiB = median(curlCpu) * 1000 / mib;
    const double md5CpuPerMiB = median(md5Cpu) * 1000 / mib;
    const double cpuRatio = ourCpuPerMiB / (curlCpuPerMiB + md5CpuPerMiB);
    say(QStringLiteral("  CPU time per MiB: download step %1 ms, curl %2 ms, md5sum %3 ms; "
                       "step against curl + md5sum %4 (target <= 1.5): %5")
            .arg(QString::number(ourCpuPerMiB, 'f', 2), QString::number(curlCpuPerMiB, 'f', 2),
                 QString::number(md5CpuPerMiB, 'f', 2), QString::number(cpuRatio, 'f', 2),
                 cpuRatio <= 1.5 ? QStringLiteral("met") : QStringLiteral("MISSED")));
    if (options.target > 0) {
        say(QStringLiteral("  throughput ratio %1 (target >= %2): %3")
                .arg(QString::number(ratio, 'f', 3), QString::number(options.target, 'f', 2),
                     ratio >= options.target ? QStringLiteral("met") : QStringLiteral("MISSED")));
    } else {
        say(QStringLiteral("  throughput ratio %1").arg(QString::number(ratio, 'f', 3)));
    }
    say(QStringLiteral("  peak RSS of the download step %1 MiB (target < 64): %2")
            .arg(QString::number(peakMiB, 'f', 1), peakMiB < 64 ? QStringLiteral("met") : QStringLiteral("MISSED")));
    return 0;
}

#ifndef UPDATEINIDATA_H
#define UPDATEINIDATA_H

#include <QString>

// The record of the latest run that has not finished successfully, kept in
// the group "current" of update.ini: its target version, work directory and
// client type. The next run resumes in that directory (same version) or
// removes it (another version).
class UpdateIniData
{
public:
    UpdateIniData() = delete;

    static QString filename();
    // True when the record reached the file.
    static bool modify(int version, const QString& dir, const QString& type);
    // True when the record describes a usable earlier run, whose directory
    // is a work directory of ours; then writes through the pointers that are
    // not null.
    static bool get(int* version, QString* type, QString* dir);
    // True when anything at all is recorded, usable by get() or not, or the
    // file cannot be read. A record is written before a run changes the
    // installation and removed only after it succeeded, so any trace of one
    // (another user's run, a work directory that has gone) means that what
    // the run left there may still be needed.
    static bool isRunRecorded();
    static void cleanup();
};

#endif

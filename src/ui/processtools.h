#ifndef PROCESSTOOLS_H
#define PROCESSTOOLS_H

// Starts the updated client once a run has succeeded.
class ProcessTools
{
public:
    // Starts the client's start script from the application directory as a
    // detached process, without arguments. A failed start is not reported:
    // the updater ends all the same.
    static void startKv3Client();
};

#endif

#ifndef TESTREGISTRY_H
#define TESTREGISTRY_H

#include <QObject>
#include <QString>

#include <functional>

// Every test class of an area registers itself with one static
// TestRegistration in its source file:
//
//     static TestRegistration registration("ComposedTaskTest",
//                                          [] { return new ComposedTaskTest; });
//
// The area's executable (main in testmain.cpp) runs every registered class,
// or only the one named as its first argument; CTest runs one class per entry.
class TestRegistration
{
public:
    using Factory = std::function<QObject*()>;
    TestRegistration(const char* className, Factory factory);
};

#endif

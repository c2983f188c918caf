#ifndef RANDOMGENERATOR_H
#define RANDOMGENERATOR_H

#include <QtGlobal>

// The one pseudo-random sequence of the process. The engine seeds it with the
// time in seconds before each run; the mirror choice and the change log
// viewer draw from it. Used on the GUI thread only.
namespace RandomGenerator {

void seed(quint32 value);

// A non-negative number; callers take it modulo the size of their choice.
int next();

} // namespace RandomGenerator

#endif

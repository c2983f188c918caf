#include "randomgenerator.h"

#include <QRandomGenerator>

namespace {

QRandomGenerator& generator()
{
    static QRandomGenerator instance(1u);
    return instance;
}

} // namespace

namespace RandomGenerator {

void seed(quint32 value)
{
    generator().seed(value);
}

int next()
{
    return int(generator().generate() & 0x7fffffffu);
}

} // namespace RandomGenerator

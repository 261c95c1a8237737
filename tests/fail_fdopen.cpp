// Preloaded into the tool by a fault-injection test: no stream can be made
// over a descriptor, as when fdopen() finds no memory.
#include <cerrno>
#include <cstdio>

extern "C" FILE *fdopen(int, const char *)
{
    errno = ENOMEM;
    return nullptr;
}

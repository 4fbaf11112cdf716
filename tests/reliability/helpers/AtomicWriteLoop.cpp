// Replaces one file through atomicWrite, alternating two contents, until killed.
// Writes one byte to standard output when the loop starts.

#include "CrashContents.h"
#include "support/AtomicWrite.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s destination\n", argv[0]);
        return 2;
    }
    ::umask(0); // the widest the creation mode could be: the result must still be exact
    const std::string contents[2] = {kestrune::reliability::crashContent('A'),
                                     kestrune::reliability::crashContent('B')};
    if (::write(STDOUT_FILENO, "r", 1) != 1) {
        return 2;
    }
    try {
        for (unsigned round = 0;; ++round) {
            kestrune::atomicWrite(contents[round % 2], argv[1], 0600);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}

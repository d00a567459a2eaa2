#pragma once
// Opens a pseudo-terminal pair for tests that play the far end of a serial
// line: the code under test opens the slave by its path, the test talks on
// the master. The test keeps a slave descriptor of its own, so the terminal
// keeps its settings between the opens and closes of the code under test.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

inline bool OpenPseudoTerminal(int& master, int& slave, std::string& slavePath)
{
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return false;
    const char* name = nullptr;
    if (grantpt(master) == 0 && unlockpt(master) == 0)
        name = ptsname(master);
    slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave < 0) {
        close(master);
        master = -1;
        return false;
    }
    slavePath = name;
    return true;
}

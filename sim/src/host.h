// Starting and joining the simulated host (host.cpp, client.cpp).
#pragma once

namespace nrsim {

// Runs the host on a listening socket until the programs it serves are gone:
// every copy of the write end of the `keep` pipe closed, and no connection
// left (or, serving, until it is killed).  Never returns.
[[noreturn]] void host_main(int listener, int keep, bool serve, char **argv);

} // namespace nrsim

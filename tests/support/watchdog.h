// The test watchdog (watchdog.cpp) ends a test program still running after
// its time. A process the test started in a process group of its own would
// outlive the program: a group named here is ended with it.
#ifndef TESTS_SUPPORT_WATCHDOG_H
#define TESTS_SUPPORT_WATCHDOG_H

namespace watchdog {

void Guard(int process_group);    // the watchdog ends this group too (at most 16 at once)
void Release(int process_group);  // it is gone, or ended by the test

}  // namespace watchdog

#endif  // TESTS_SUPPORT_WATCHDOG_H

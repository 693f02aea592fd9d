#pragma once
// Processor time, which a test may bound where wall time depends on how busy
// the machine is: a wait that sleeps costs next to none, one that spins costs
// as long as it lasts. Linux only; header only.

#include <sys/resource.h>

#include <chrono>

namespace testing_support {

// The calling thread's processor time so far, in user and kernel mode.
inline std::chrono::microseconds threadCpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

}  // namespace testing_support

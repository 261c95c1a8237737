// What a case may need beyond what every POSIX system and every build of the
// tool offer. tests/CMakeLists.txt sets each switch ROMWEAVE_HAS_<NAME> to 1 or
// 0 for the system that runs the tests and the tool under test; a case that
// needs a switch that is off is reported as skipped, with the reason here.
#ifndef ROMWEAVE_CAPABILITIES_H
#define ROMWEAVE_CAPABILITIES_H

struct Capability {
    bool present;
    const char *missing; // why a case that needs it is left out
};

// The system that runs the tests.
const Capability PROC = {ROMWEAVE_HAS_PROC, "needs /proc/<pid>/fd to see which files the tool holds"};
const Capability DEV_FULL = {ROMWEAVE_HAS_DEV_FULL, "needs /dev/full, a device that is always full"};

// The tool under test: a Windows build lacks the POSIX ones, an emulated or
// static build takes no preloaded library, and a launcher (wine, qemu-user)
// shares the tool's process.
const Capability SIGNALS = {ROMWEAVE_HAS_SIGNALS, "needs POSIX signals; Windows has only Ctrl-C"};
const Capability POSIX_FILES = {ROMWEAVE_HAS_POSIX_FILES,
                                "needs POSIX files: symbolic links, FIFOs that wait for their writer, "
                                "permissions and users, /dev/stdout"};
const Capability RLIMIT = {ROMWEAVE_HAS_RLIMIT, "needs a file-size limit (ulimit -f), which is POSIX"};
const Capability PRELOAD = {ROMWEAVE_HAS_PRELOAD,
                            "needs a library preloaded into the tool (LD_PRELOAD), which only a native, "
                            "dynamically linked build takes"};
const Capability NATIVE_PROCESS = {ROMWEAVE_HAS_NATIVE_PROCESS,
                                   "the launcher in the tool's process needs more descriptors than that"};
const Capability REALTIME_SIGNALS = {ROMWEAVE_HAS_REALTIME_SIGNALS,
                                     "the tool's emulator or C library keeps the lowest real-time signals for "
                                     "itself, so they are not the tests' SIGRTMIN"};
#if defined(__SANITIZE_ADDRESS__)
const Capability SMALL_STACK = {false, "AddressSanitizer's runtime needs a larger stack than the tool"};
const Capability LIMITED_ADDRESS_SPACE = {false, "AddressSanitizer's runtime needs terabytes of address space"};
#else
const Capability SMALL_STACK = {ROMWEAVE_HAS_NATIVE_PROCESS, "the launcher in the tool's process needs a larger stack"};
const Capability LIMITED_ADDRESS_SPACE = {ROMWEAVE_HAS_NATIVE_PROCESS,
                                          "the launcher in the tool's process needs more address space"};
#endif

const Capability EVERYWHERE = {true, nullptr};

// Why a case that needs `capability` is left out here, or nullptr.
inline const char *left_out(const Capability &capability)
{
    return capability.present ? nullptr : capability.missing;
}

#endif

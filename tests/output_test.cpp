// The output's life against a platform that fails any primitive, or delivers
// an interrupt before it, on the real files of a scratch folder: whatever
// happens, an input never changes and the output is as it was, gone, or the
// complete image, never a fragment.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "image_job.h"
#include "platform.h"
#include "records.h"

// The system's own primitives beneath the test's, with types of their own,
// which are those of platform.h.
namespace real {
#undef ROMWEAVE_PLATFORM_H
#define read_char_after_end read_char_after_end_of_the_system
#include "../src/platform_posix.cpp"
#undef read_char_after_end
}

namespace {

template <typename Real, typename Own> Real &real_type(Own &value)
{
    static_assert(sizeof(Real) == sizeof(Own), "the same type under two names");
    return reinterpret_cast<Real &>(value);
}
real::FileIdentity &r(FileIdentity &identity) { return real_type<real::FileIdentity>(identity); }
const real::FileIdentity &r(const FileIdentity &identity) { return real_type<const real::FileIdentity>(identity); }
const real::FileIdentity *r(const FileIdentity *identity) { return identity ? &r(*identity) : nullptr; }
real::OutputPlace &r(OutputPlace &place) { return real_type<real::OutputPlace>(place); }
const real::OutputPlace &r(const OutputPlace &place) { return real_type<const real::OutputPlace>(place); }

} // namespace

namespace {

// What goes wrong in a run: a step that fails, by its index or its name, an
// interrupt before a step, the output moved away before a step.
struct Faults {
    int fail_at = -1, interrupt_at = -1;
    std::string fail_step, rename_before;
};

// The run so far, as the platform saw it.
struct Platform {
    Faults faults;
    std::vector<std::string> steps;
    bool held = false, pending = false, ended = false, held_while_waiting = false;
    const Guard *guard = nullptr;
} platform;

// The interrupt's handler, and the end of the process.
void end_by_interrupt()
{
    if (platform.guard != nullptr)
        real::remove_file(r(platform.guard->place), &r(platform.guard->identity), platform.guard->emptying_handle);
    platform.ended = true;
}

// True when this step fails; a run that ended does nothing more.
bool step(const char *name)
{
    if (platform.ended)
        return true;
    const Faults &faults = platform.faults;
    const int index = static_cast<int>(platform.steps.size());
    platform.steps.push_back(name);
    static const std::set<std::string> may_wait = {"identify_name", "find_place", "open_as_it_is", "open_for_reading"};
    platform.held_while_waiting |= platform.held && may_wait.count(name) != 0;
    if (faults.rename_before == name) {
        rename("out.bin", "moved.bin");
        std::ofstream("out.bin") << "someone else's file";
    }
    if (index == faults.interrupt_at && !(platform.pending = platform.held))
        end_by_interrupt();
    const bool first = std::count(platform.steps.begin(), platform.steps.end(), name) == 1;
    return platform.ended || index == faults.fail_at || (first && faults.fail_step == name);
}

} // namespace

int open_missing_standard_handles() { return step("open_missing_standard_handles") ? -1 : 0; }
int identify_standard_output(FileIdentity &) { return -1; }
int silence_standard_output() { return -1; }
bool is_terminal(FILE *) { return false; }
char **command_line_arguments(int, char **argv) { return argv; }
int identify(FileHandle file, FileIdentity &identity) { return step("identify") ? -1 : real::identify(file, r(identity)); }
void identify_name(const char *name, FileIdentity &identity)
{
    identity = FileIdentity{};
    if (!step("identify_name"))
        real::identify_name(name, r(identity));
}
bool shares_bytes(const FileIdentity &a, const FileIdentity &b) { return real::shares_bytes(r(a), r(b)); }
int find_place(const char *name, OutputPlace &place) { return step("find_place") ? -1 : real::find_place(name, r(place)); }
FileHandle open_as_it_is(const char *name, bool update, bool &missing)
{
    missing = false;
    return step("open_as_it_is") ? NO_FILE : real::open_as_it_is(name, update, missing);
}
FileHandle create_new(const OutputPlace &place) { return step("create_new") ? NO_FILE : real::create_new(r(place)); }
bool place_leads_to(const OutputPlace &place, const FileIdentity &identity)
{
    return !step("place_leads_to") && real::place_leads_to(r(place), r(identity));
}
FileHandle reopen(FileHandle file) { return step("reopen") ? NO_FILE : real::reopen(file); }
int empty_file(FileHandle file) { return step("empty_file") ? -1 : real::empty_file(file); }
void remove_file(const OutputPlace &place, const FileIdentity *identity, FileHandle emptying_handle)
{
    if (!step("remove_file"))
        real::remove_file(r(place), r(identity), emptying_handle);
}
FILE *stream_of(FileHandle file, const char *mode)
{
    if (!step("stream_of"))
        return real::stream_of(file, mode);
    real::close_file(file);
    return nullptr;
}
void close_file(FileHandle file) { real::close_file(file); }
FileHandle open_for_reading(const char *name) { return step("open_for_reading") ? NO_FILE : real::open_for_reading(name); }
void install_interrupt_handler() {}
void hold_interrupts()
{
    step("hold_interrupts");
    platform.held = true;
}
void release_interrupts()
{
    step("release_interrupts");
    platform.held = false;
    if (platform.pending)
        end_by_interrupt();
}
void guard_output(const Guard *guard)
{
    step("guard_output");
    platform.guard = guard;
}
int read_char_after_end(FILE *input) { return real::read_char_after_end_of_the_system(input); }

namespace {

std::string read_file(const char *name)
{
    std::ifstream in(name, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) : "<absent>";
}

int open_descriptors()
{
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        count += entry.path().empty() ? 0 : 1;
    return count;
}

struct Outcome {
    int status;
    std::string console, output;
};

// One run in a fresh scratch folder: a.byte, and out.bin as `before` holds it.
Outcome run(std::vector<std::string> args, const char *before, const Faults &faults = {})
{
    char folder[] = "/tmp/romweave-output-XXXXXX";
    EXPECT_NE(nullptr, mkdtemp(folder));
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    std::ofstream("a.byte") << records(3);
    if (before != nullptr)
        std::ofstream("out.bin") << before;
    std::error_code no_output;
    std::filesystem::create_hard_link("out.bin", "same.byte", no_output);
    std::filesystem::create_symlink("/dev/null", "null.bin");
    platform = Platform{};
    platform.faults = faults;
    args.insert(args.begin(), "romweave");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    const int descriptors = open_descriptors();
    testing::internal::CaptureStdout();
    int status = run_romweave(static_cast<int>(argv.size()), argv.data());
    Outcome outcome = {status, testing::internal::GetCapturedStdout(), read_file("out.bin")};
    EXPECT_EQ(records(3), read_file("a.byte")) << "an input changed";
    EXPECT_EQ(descriptors, open_descriptors()) << "a descriptor left open";
    EXPECT_FALSE(platform.held || platform.held_while_waiting) << "interrupts held too long";
    EXPECT_TRUE(platform.guard == nullptr || platform.ended) << "an output still guarded";
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(folder);
    return outcome;
}

} // namespace

TEST(OutputLife, EveryFailureAndInterruptLeavesTheOutputWholeOrGone)
{
    std::string image = std::string(16, '\xFF'), updated = "0123456789abcdef";
    image.replace(0, 3, "\x00\x01\x02", 3);
    updated.replace(0, 3, "\x00\x01\x02", 3);
    struct Row {
        const char *name;
        std::vector<std::string> args;
        const char *before;
        std::string done; // out.bin after a good run
    };
    for (const Row &row : {Row{"a new image", {"-s", "16", "out.bin", "a.byte"}, nullptr, image},
                           Row{"an old image", {"-s", "16", "out.bin", "a.byte"}, "0123456789abcdef", image},
                           Row{"an update", {"-u", "-s", "16", "out.bin", "a.byte"}, "0123456789abcdef", updated},
                           Row{"a device", {"-s", "16", "null.bin", "a.byte"}, "old", "old"},
                           Row{"an input that is the output", {"-s", "16", "out.bin", "same.byte"}, "old", ""}}) {
        Outcome good = run(row.args, row.before);
        const std::string before = row.before != nullptr ? row.before : "<absent>";
        EXPECT_EQ(row.done.empty() ? before : row.done, good.output) << row.name;
        const int steps = static_cast<int>(platform.steps.size());
        for (int k = 0; k <= steps; k++) {
            for (bool interrupt : {false, true}) {
                Faults faults;
                (interrupt ? faults.interrupt_at : faults.fail_at) = k;
                Outcome r = run(row.args, row.before, faults);
                const bool whole = r.output == before || r.output == "<absent>" ||
                                   (r.output == row.done && (r.status == 0 || platform.ended));
                EXPECT_TRUE(whole) << row.name << ": " << (interrupt ? "interrupt before " : "failure of ")
                                   << (k < steps ? platform.steps[k] : "the end") << " left " << r.output;
                EXPECT_TRUE(r.status == 1 || platform.ended || r.output == row.done) << row.name;
            }
        }
    }
}

TEST(OutputLife, RefusalsSayWhy)
{
    struct Row {
        const char *name;
        std::vector<std::string> args;
        const char *before;
        Faults faults;
        std::string console, output;
    };
    const std::string cannot_create = "Unable to create output file \"out.bin\"";
    for (const Row &row :
         {Row{"the create fails", {"out.bin", "a.byte"}, nullptr, {-1, -1, "create_new", ""}, cannot_create, "<absent>"},
          Row{"no stream for a file just made", {"out.bin", "a.byte"}, nullptr, {-1, -1, "stream_of", ""}, cannot_create,
              "<absent>"},
          Row{"an old image that cannot be emptied", {"out.bin", "a.byte"}, "old", {-1, -1, "empty_file", ""},
              cannot_create, "old"},
          Row{"a made file moved away before its stream", {"out.bin", "a.byte"}, nullptr,
              {-1, -1, "stream_of", "stream_of"}, cannot_create, "someone else's file"},
          Row{"an update that cannot open", {"-u", "out.bin", "a.byte"}, "old", {-1, -1, "open_as_it_is", ""},
              "Unable to open output file \"out.bin\" for update", "old"},
          Row{"an input that cannot open", {"out.bin", "a.byte"}, "old", {-1, -1, "open_for_reading", ""},
              "Unable to open input file \"a.byte\" for reading", "<absent>"},
          Row{"/dev/null as output and input", {"null.bin", "null.bin"}, nullptr, {}, "Mixing in \"null.bin\"\nDone\n",
              "<absent>"}}) {
        Outcome r = run(row.args, row.before, row.faults);
        EXPECT_EQ(row.console, r.console) << row.name;
        EXPECT_EQ(row.output, r.output) << row.name;
    }
}

// Hostile file systems: a full disk, a file-size limit, missing permissions,
// vanishing inputs. Each run must fail with its message and leave the disk as
// promised: a created output removed, an updated file's tail intact.
#include <algorithm>
#include <cstring>
#include <deque>
#include <iostream>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include "tool_runner.h"

namespace {

class FaultInjection : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        write("a.byte", "0000: 11\n0100: 22\n");
    }
};

const uid_t UNPRIVILEGED_USER = 65534;

bool running_as_root()
{
    return geteuid() == 0;
}

} // namespace

TEST_F(FaultInjection, FullDiskOrFileSizeLimitFailsTheWrite)
{
    // Through a link, so that a faulty build can only ever remove the link.
    // 1 KiB stays in the stream's buffer until close; 64 KiB is written at
    // once. A created output goes; an updated one keeps what lies beyond the
    // image.
    std::filesystem::create_symlink("/dev/full", path("full.bin"));
    const std::string tail(16 * 1024, 't'), image_and_tail = std::string(64 * 1024, 'a') + tail;
    ChildLimits plain, small_files;
    small_files.file_size = 16 * 1024;
    struct Row {
        std::vector<std::string> args;
        const Capability &needed;
        const ChildLimits &limits;
    };
    for (const Row &row : {Row{{"-s", "1K", "full.bin"}, DEV_FULL, plain}, Row{{"-s", "64K", "full.bin"}, DEV_FULL, plain},
                           Row{{"-u", "-s", "1K", "full.bin"}, DEV_FULL, plain},
                           Row{{"-s", "64K", "out.bin"}, RLIMIT, small_files},
                           Row{{"-u", "-s", "64K", "img.bin"}, RLIMIT, small_files}}) {
        const std::string &output = row.args.back();
        if (const char *reason = left_out(row.needed)) {
            std::cout << "row " << output << " left out: " << reason << "\n";
            continue;
        }
        write("img.bin", image_and_tail);
        std::vector<std::string> args = row.args;
        args.push_back("a.byte");
        ToolRun r = run_tool_in(dir.string(), args, row.limits);
        EXPECT_EQ(1, r.status) << output;
        EXPECT_EQ("Mixing in \"a.byte\"\nError writing output file \"" + output + "\"\n", r.console) << output;
        EXPECT_TRUE(std::filesystem::is_character_file(path("full.bin")));
        EXPECT_FALSE(exists("out.bin"));
        std::string after = read("img.bin");
        ASSERT_EQ(image_and_tail.size(), after.size());
        EXPECT_TRUE(tail == after.substr(64 * 1024));
    }
}

TEST_F(FaultInjection, UpdateAtExactShortAndLongSizes)
{
    write("exact.bin", std::string(512, 'e'));
    ToolRun exact = run({"-u", "-s", "512", "exact.bin", "a.byte"});
    EXPECT_EQ(0, exact.status);
    std::string expected(512, 'e');
    expected[0] = '\x11';
    expected[0x100] = '\x22';
    EXPECT_EQ(expected, read("exact.bin"));

    write("short.bin", std::string(511, 's'));
    ToolRun shorter = run({"-u", "-s", "512", "short.bin", "a.byte"});
    EXPECT_EQ(1, shorter.status);
    EXPECT_EQ("Failed to read 512 from file \"short.bin\"", shorter.console);
    EXPECT_EQ(std::string(511, 's'), read("short.bin"));

    std::string tail;
    for (int i = 0; i < 1 << 20; i++)
        tail += static_cast<char>(i * 7 + i / 256);
    write("long.bin", std::string(1024, 'l') + tail);
    ToolRun longer = run({"-u", "-s", "1K", "long.bin", "a.byte"});
    EXPECT_EQ(0, longer.status);
    std::string after = read("long.bin");
    ASSERT_EQ(1024 + tail.size(), after.size());
    EXPECT_EQ('\x11', after[0]);
    EXPECT_EQ('\x22', after[0x100]);
    EXPECT_EQ(tail, after.substr(1024));

    // A flash image beyond 4 GiB (sparse here): only its head is rewritten,
    // on 32-bit builds too.
    const uintmax_t huge_size = (uintmax_t{4} << 30) + 4096;
    write("huge.bin", "");
    std::filesystem::resize_file(path("huge.bin"), huge_size);
    std::fstream huge(path("huge.bin"), std::ios::in | std::ios::out | std::ios::binary);
    huge.seekp(static_cast<std::streamoff>(huge_size - 4));
    huge << "tail";
    huge.close();
    EXPECT_EQ(0, run({"-u", "-s", "1K", "huge.bin", "a.byte"}).status);
    EXPECT_EQ(huge_size, std::filesystem::file_size(path("huge.bin")));
    huge.open(path("huge.bin"), std::ios::in | std::ios::binary);
    char head[2] = {}, end[4] = {};
    huge.read(head, 2);
    huge.seekg(static_cast<std::streamoff>(huge_size - 4));
    huge.read(end, 4);
    EXPECT_EQ(std::string("\x11\0", 2), std::string(head, 2));
    EXPECT_EQ("tail", std::string(end, 4));
}

TEST_F(FaultInjection, MissingPermissionsLeaveNoOutput)
{
    if (const char *reason = left_out(POSIX_FILES))
        GTEST_SKIP() << reason;
    // Root reads and writes without permission, so root runs the tool as
    // nobody in a directory that nobody owns. An output in a directory that
    // forbids its removal is emptied instead; one in a directory that may
    // be written and searched but not read is removed all the same.
    ChildLimits limits;
    std::filesystem::create_directory(path("locked"));
    std::filesystem::create_directory(path("unreadable"));
    write("locked/old.bin", "old image");
    if (running_as_root()) {
        limits.user = UNPRIVILEGED_USER;
        ASSERT_EQ(0, chown(dir.c_str(), UNPRIVILEGED_USER, UNPRIVILEGED_USER));
        ASSERT_EQ(0, chown(path("locked/old.bin").c_str(), UNPRIVILEGED_USER, UNPRIVILEGED_USER));
    }
    write("b.byte", read("a.byte"));
    chmod(path("a.byte").c_str(), 0);
    chmod(path("locked").c_str(), 0555);
    chmod(path("unreadable").c_str(), 0333);
    struct Row {
        std::vector<std::string> args;
        std::string message;
        rlim_t file_size;
        bool left_empty;
    };
    for (const Row &row : {Row{{"out.bin", "a.byte"}, "Unable to open input file \"a.byte\" for reading", 0, false},
                           Row{{"locked/out.bin", "a.byte"}, "Unable to create output file \"locked/out.bin\"", 0, false},
                           Row{{"unreadable/out.bin", "a.byte"}, "Unable to open input file \"a.byte\" for reading", 0,
                               false},
                           Row{{"-s", "64K", "locked/old.bin", "b.byte"},
                               "Mixing in \"b.byte\"\nError writing output file \"locked/old.bin\"\n", 16 * 1024, true}}) {
        limits.file_size = row.file_size;
        ToolRun r = run_tool_in(dir.string(), row.args, limits);
        const std::string &output = row.args[row.args.size() - 2];
        EXPECT_EQ(1, r.status) << output;
        EXPECT_EQ(row.message, r.console);
        EXPECT_EQ(row.left_empty, exists(output)) << output;
        EXPECT_EQ("", read(output)) << output;
    }
}

TEST_F(FaultInjection, OutputOfUnknownIdentityIsNeverTruncated)
{
    if (const char *reason = left_out(PRELOAD))
        GTEST_SKIP() << reason;
    // The first library makes every stat() fail, as on a 32-bit build without
    // large-file support: an existing file is then left as it is, and a file
    // the run created is removed again, as it is when no stream can be made
    // for it (the third). The second hides the null device:
    // with standard output closed, the run must stop before it opens any
    // file, which would otherwise take standard output's place.
    ChildLimits no_identity, no_null_device, no_null_device_for_the_output, no_stream;
    no_identity.preload = ROMWEAVE_FAIL_STAT_LIBRARY;
    no_stream.preload = ROMWEAVE_FAIL_FDOPEN_LIBRARY;
    no_null_device.preload = ROMWEAVE_NO_NULL_DEVICE_LIBRARY;
    no_null_device.stdout_closed = true;
    // Standard output into the output, which cannot then be silenced: the
    // run refuses rather than write its messages into the image.
    const std::string output = path("out.bin");
    no_null_device_for_the_output.preload = ROMWEAVE_NO_NULL_DEVICE_LIBRARY;
    no_null_device_for_the_output.stdout_path = output.c_str();
    no_null_device_for_the_output.stdout_flags = O_WRONLY | O_CREAT | O_TRUNC;
    const std::string records = read("a.byte");
    struct Row {
        std::vector<std::string> args;
        std::string message;
        const ChildLimits &limits;
    };
    for (const Row &row : {Row{{"a.byte", "a.byte"}, "Unable to create output file \"a.byte\"", no_identity},
                           Row{{"-u", "-s", "9", "a.byte", "a.byte"},
                               "Unable to open output file \"a.byte\" for update", no_identity},
                           Row{{"new.bin", "a.byte"}, "Unable to create output file \"new.bin\"", no_identity},
                           Row{{"new.bin", "a.byte"}, "", no_null_device},
                           Row{{"new.bin", "a.byte"}, "Unable to create output file \"new.bin\"", no_stream},
                           Row{{"out.bin", "a.byte"}, "", no_null_device_for_the_output}}) {
        ToolRun r = run_tool_in(dir.string(), row.args, row.limits);
        EXPECT_EQ("", read("out.bin")) << row.message;
        EXPECT_EQ(1, r.status) << row.message;
        EXPECT_EQ(row.message, r.console);
        EXPECT_EQ(records, read("a.byte")) << row.message;
        EXPECT_FALSE(exists("new.bin")) << row.message;
    }
}

TEST_F(FaultInjection, OutputReplacedDuringRunIsNotRemoved)
{
    if (const char *reason = left_out(POSIX_FILES))
        GTEST_SKIP() << reason;
    // A FIFO as input holds the run until the test has swapped the output
    // name for another file; the failing run must not remove that file. The
    // test's open of the FIFO returns once the run has opened it, its output
    // guarded by then.
    ASSERT_EQ(0, mkfifo(path("slow.byte").c_str(), 0600));
    StartedTool tool = start_tool_in(dir.string(), {"out.bin", "slow.byte"});
    ASSERT_GT(tool.pid, 0);
    int fifo = open(path("slow.byte").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    std::filesystem::rename(path("out.bin"), path("moved.bin"));
    write("out.bin", "someone else's file");
    EXPECT_EQ(3, ::write(fifo, "zz\n", 3));
    ToolRun r = finish_tool(tool);
    close(fifo);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Mixing in \"slow.byte\"\nError reading input file (line 1)", r.console);
    EXPECT_EQ("someone else's file", read("out.bin"));
}

TEST_F(FaultInjection, UpdateOfAnOutputThatCannotSeekIsRefused)
{
    // Without seeking back, the image would go after the bytes just read,
    // and the run would report an update that never happened; with nothing
    // in the FIFO, the read would wait for ever.
    ASSERT_EQ(0, mkfifo(path("pipe.bin").c_str(), 0600));
    int pipe_fd = open(path("pipe.bin").c_str(), O_RDWR);
    ASSERT_GE(pipe_fd, 0);
    const std::string old_image(512, 'o');
    ASSERT_EQ(512, ::write(pipe_fd, old_image.data(), old_image.size()));
    ToolRun r = run({"-u", "-s", "512", "pipe.bin", "a.byte"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Unable to open output file \"pipe.bin\" for update", r.console);
    // Refused before it read a byte of what a writer put in.
    char left[513];
    fcntl(pipe_fd, F_SETFL, O_NONBLOCK);
    EXPECT_EQ(512, ::read(pipe_fd, left, sizeof left));
    close(pipe_fd);
}

// Until the started tool holds `file` open (or no longer does); false if
// that never happens. Before its exec the child is still this test program,
// holding copies of the test's own descriptors.
bool wait_until_holding(pid_t pid, const std::string &file, bool holding)
{
    const std::filesystem::path process = "/proc/" + std::to_string(pid);
    const std::filesystem::path test_program = std::filesystem::read_symlink("/proc/self/exe");
    for (int tries = 0; tries < 1000; tries++, usleep(10000)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(process / "exe", ignored) == test_program)
            continue;
        bool found = false;
        for (const auto &fd : std::filesystem::directory_iterator(process / "fd", ignored))
            found = found || std::filesystem::read_symlink(fd.path(), ignored) == file;
        if (found == holding)
            return true;
    }
    return false;
}

// Until the started tool waits in the open of a FIFO for its reader.
bool wait_until_waiting_for_a_reader(pid_t pid)
{
    const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    for (int tries = 0; tries < 1000; tries++, usleep(10000)) {
        std::ifstream in(wchan);
        std::string waiting_in;
        if (std::getline(in, waiting_in) && waiting_in == "wait_for_partner")
            return true;
    }
    return false;
}

// Until `signal_number` is no longer pending for the started tool, or is
// blocked there and stays pending.
bool wait_until_delivered(pid_t pid, int signal_number)
{
    const uint64_t bit = uint64_t{1} << (signal_number - 1);
    for (int tries = 0; tries < 1000; tries++, usleep(1000)) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        uint64_t pending = 0, blocked = 0;
        for (std::string line; std::getline(status, line);) {
            const std::string name = line.substr(0, 7);
            if (name == "SigPnd:" || name == "ShdPnd:")
                pending |= std::stoull(line.substr(7), nullptr, 16);
            else if (name == "SigBlk:")
                blocked = std::stoull(line.substr(7), nullptr, 16);
        }
        if ((pending & bit) == 0 || (blocked & bit) != 0)
            return true;
    }
    return false;
}

// What the started tool has printed so far, waiting a moment for it.
std::string read_available(int console)
{
    std::string text;
    char buffer[256];
    struct pollfd ready = {console, POLLIN, 0};
    while (poll(&ready, 1, text.empty() ? 2000 : 100) > 0) {
        ssize_t count = ::read(console, buffer, sizeof buffer);
        if (count <= 0)
            break;
        text.append(buffer, static_cast<size_t>(count));
    }
    return text;
}

TEST_F(FaultInjection, InterruptedRunLeavesNoOutputAndEndsBySignal)
{
    if (const char *reason = left_out(PROC))
        GTEST_SKIP() << reason;
    // A FIFO as the second input, with a writer that never writes, holds the
    // run with its output open. On Windows SIGINT is Ctrl-C, which wine hands
    // to the console's control handler; the run then ends with the status of
    // an interrupted console program, STATUS_CONTROL_C_EXIT, of which a POSIX
    // parent sees the low byte. SIGPIPE only tells that whatever read the
    // messages went away: the run completes once its input ends.
    ASSERT_EQ(0, mkfifo(path("slow.byte").c_str(), 0600));
    const int interrupted_on_windows = 0xC000013A & 0xFF;
    const std::string old_image(512, 'o');
    std::string complete_image = blank_image(512);
    complete_image[0] = '\x11';
    complete_image[0x100] = '\x22';
    // A signal ignored or blocked when the tool started stays so; on a
    // terminal, the messages show before the interrupt. A small stack is
    // enough for the handler.
    ChildLimits plain, nohup, blocked, small_stack, terminal;
    nohup.ignored_signal = SIGINT;
    blocked.blocked_signal = SIGTERM;
    small_stack.stack_size = 16 * 1024;
    terminal.stdout_terminal = true;
    struct Row {
        int signal_number;
        const char *name;
        bool update;
        const ChildLimits &limits;
    };
    for (const Row &row : {Row{SIGINT, "SIGINT", false, plain}, Row{SIGTERM, "SIGTERM", false, plain},
                           Row{SIGHUP, "SIGHUP", false, plain}, Row{SIGQUIT, "SIGQUIT", false, plain},
                           Row{SIGXCPU, "SIGXCPU", false, plain}, Row{SIGALRM, "SIGALRM", false, plain},
                           Row{SIGUSR1, "SIGUSR1", false, plain}, Row{SIGUSR2, "SIGUSR2", false, plain},
                           Row{SIGVTALRM, "SIGVTALRM", false, plain}, Row{SIGPROF, "SIGPROF", false, plain},
                           Row{SIGPWR, "SIGPWR", false, plain}, Row{SIGIO, "SIGIO", false, plain},
                           Row{SIGSTKFLT, "SIGSTKFLT", false, plain}, Row{SIGRTMIN, "SIGRTMIN", false, plain},
                           Row{SIGRTMAX, "SIGRTMAX", false, plain}, Row{SIGPIPE, "SIGPIPE", false, plain},
                           Row{SIGINT, "SIGINT", true, plain}, Row{SIGINT, "SIGINT ignored on entry", false, nohup},
                           Row{SIGTERM, "SIGTERM blocked on entry", false, blocked},
                           Row{SIGTERM, "SIGTERM with a 16 KiB stack", false, small_stack},
                           Row{SIGINT, "SIGINT on a terminal", false, terminal}}) {
        const bool plain_interrupt = row.signal_number == SIGINT && &row.limits == &plain;
        const char *reason = plain_interrupt ? nullptr : left_out(SIGNALS);
        if (reason == nullptr && &row.limits == &small_stack)
            reason = left_out(SMALL_STACK);
        if (reason == nullptr && row.signal_number == SIGRTMIN)
            reason = left_out(REALTIME_SIGNALS);
        if (reason != nullptr) {
            std::cout << "row " << row.name << " left out: " << reason << "\n";
            continue;
        }
        std::string terminal_name;
        int terminal_check = row.limits.stdout_terminal ? open_terminal(terminal_name) : 0;
        if (terminal_check < 0) {
            std::cout << "row " << row.name << " left out: no pseudo-terminal here\n";
            continue;
        }
        if (terminal_check > 0)
            close(terminal_check);
        const bool ends_run = row.signal_number != SIGPIPE && &row.limits != &nohup && &row.limits != &blocked;
        write("out.bin", old_image);
        std::vector<std::string> args = {"-s", "512", "out.bin", "a.byte", "slow.byte"};
        if (row.update)
            args.insert(args.begin(), "-u");
        int fifo = open(path("slow.byte").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fifo, 0);
        StartedTool tool = start_tool_in(dir.string(), args, row.limits);
        // kill(-1) would reach every process of this user.
        ASSERT_GT(tool.pid, 0) << row.name;
        EXPECT_TRUE(wait_until_holding(tool.pid, path("slow.byte"), true)) << row.name;
        if (row.limits.stdout_terminal) {
            EXPECT_EQ("Mixing in \"a.byte\"\r\nMixing in \"slow.byte\"", read_available(tool.console));
        }
        kill(tool.pid, row.signal_number);
        // Windows runs the control handler on a thread of its own: the end
        // of the input must not overtake it.
        if (ends_run) {
            EXPECT_TRUE(wait_until_holding(tool.pid, path("slow.byte"), false)) << row.name;
        } else {
            // The signal must have reached the read it must not cut short.
            EXPECT_TRUE(wait_until_delivered(tool.pid, row.signal_number)) << row.name;
        }
        close(fifo);
        ToolRun r = finish_tool(tool);
        if (!ends_run) {
            EXPECT_EQ(0, r.status) << row.name << " " << r.console;
            EXPECT_EQ(complete_image, read("out.bin")) << row.name;
            continue;
        }
        // Ended at once, as by a kill: no exit work, not even the flush of
        // the messages' buffer (whose lock the main thread may hold), which
        // still holds the line of the input under way.
        EXPECT_EQ(std::string::npos, r.console.find("slow.byte")) << row.name << " " << r.console;
        if (windows_exe() != nullptr)
            EXPECT_EQ(interrupted_on_windows, r.status) << row.name << " " << r.console;
        else
            EXPECT_EQ(row.signal_number, r.signal_number) << row.name << " " << r.console;
        if (row.update)
            EXPECT_EQ(old_image, read("out.bin"));
        else
            EXPECT_FALSE(exists("out.bin")) << row.name;
    }

    // An output FIFO that nobody reads holds the run in its open, where the
    // interrupts are not held back: Ctrl-C must still end it there.
    if (left_out(POSIX_FILES) != nullptr)
        return;
    ASSERT_EQ(0, mkfifo(path("unread.bin").c_str(), 0600));
    StartedTool waiting = start_tool_in(dir.string(), {"unread.bin", "a.byte"});
    ASSERT_GT(waiting.pid, 0);
    EXPECT_TRUE(wait_until_waiting_for_a_reader(waiting.pid));
    kill(waiting.pid, SIGINT);
    siginfo_t info{};
    for (int tries = 0; tries < 500 && info.si_pid == 0; tries++, usleep(10000))
        waitid(P_PID, static_cast<id_t>(waiting.pid), &info, WEXITED | WNOHANG | WNOWAIT);
    // A reader lets a run that ignored the interrupt go on to its end.
    int reader = info.si_pid == 0 ? open(path("unread.bin").c_str(), O_RDONLY | O_NONBLOCK) : -1;
    ToolRun r = finish_tool(waiting);
    if (reader >= 0)
        close(reader);
    EXPECT_NE(0, info.si_pid) << "an interrupt while the output waits for its reader did not end the run";
    EXPECT_EQ(SIGINT, r.signal_number);
}

TEST_F(FaultInjection, StandardOutputClosedFullOrIntoAFileLeavesTheImageRight)
{
    // Enough messages to flush standard output part-way through the run.
    // Standard output that is the output file or an input, however the shell
    // opened it, gets no message at all, from the usage text on; a name that
    // leads through it (/dev/stdout) still reaches that file. On Windows cmd
    // holds its redirection's file unshared for writing (the run fails, with
    // no word in that file), a parent may give no standard handles, a named
    // pipe's server must see one client for each time it is named, and a
    // name that the system cannot hold (wine: a lone surrogate) is refused,
    // never read as another.
    std::string name = "a-file-of-byte-records-with-a-rather-long-name.byte";
    // Over a sector, so that a loop device over the input holds its bytes.
    std::string records = read("a.byte");
    for (int i = 0; i < 60; i++)
        records += "0000: 11\n";
    std::string image = blank_image(1024);
    image[0] = '\x11';
    image[0x100] = '\x22';
    const std::string tail = "tail";
    const std::string out = path("out.bin"), input = path(name), named_pipe = "\\\\.\\pipe\\" + name,
                      busy_then_input = "serve-pipe-slowly>>" + name,
                      device_pipe = "\\\\?\\GLOBALROOT\\Device\\NamedPipe\\" + name,
                      log = path("log.txt");
    // Markers: standard output on the pipe that the test reads, on a block
    // device that is also the output (a loop device over disk.img), and on a
    // loop device over a loop device over the input.
    const char *const pipe = "|", *const device = "device", *const over_input = "over the input";
    // Standard output's file (null: closed) and how the shell opened it.
    struct Into {
        const char *file;
        int flags;
    };
    const Into closed = {nullptr, 0}, null = {"/dev/null", O_WRONLY}, appended = {input.c_str(), O_WRONLY | O_APPEND},
               into_log = {log.c_str(), O_WRONLY | O_CREAT | O_TRUNC};
    enum Modes { CREATE = 1, UPDATE = 2, BOTH = 3 };
    const bool OK = true, FAILS = false;
    struct Row {
        const char *name;
        Into into;
        const char *output, *input, *size;
        Modes modes;
        bool succeeds;
        const Capability &needed = EVERYWHERE;
        const char *windows_parent = nullptr; // a row of the Windows build only
        const char *first_input = nullptr;    // named first, and then the input once only
    };
    std::vector<Row> rows({Row{"closed", closed, "out.bin", name.c_str(), "1K", BOTH, OK},
                           Row{"full", {"/dev/full", O_WRONLY}, "out.bin", name.c_str(), "1K", BOTH, OK, DEV_FULL},
                           Row{"> out.bin", {out.c_str(), O_WRONLY | O_TRUNC}, "out.bin", name.c_str(), "1K", CREATE, OK},
                           Row{">> out.bin", {out.c_str(), O_WRONLY | O_APPEND}, "out.bin", name.c_str(), "1K", BOTH, OK},
                           Row{"1<> out.bin", {out.c_str(), O_RDWR}, "out.bin", name.c_str(), "1K", BOTH, OK},
                           Row{"usage text, 1<> out.bin", {out.c_str(), O_RDWR}, "out.bin", name.c_str(), "0", BOTH, FAILS},
                           Row{"/dev/stdout", {out.c_str(), O_RDWR}, "/dev/stdout", name.c_str(), "1K", BOTH, OK, POSIX_FILES},
                           Row{"/dev/stdout into a pipe", {pipe, 0}, "/dev/stdout", name.c_str(), "1K", CREATE, OK, POSIX_FILES},
                           Row{"/dev/stdout as an input", {input.c_str(), O_RDWR}, "out.bin", "/dev/stdout", "1K", BOTH, OK,
                               POSIX_FILES},
                           Row{"/dev/stdout, >> input", appended, "/dev/stdout", name.c_str(), "1K", BOTH, FAILS, POSIX_FILES},
                           Row{">> input", appended, "out.bin", name.c_str(), "1K", BOTH, OK},
                           Row{"> log.txt", into_log, "out.bin", name.c_str(), "1K", CREATE, OK},
                           Row{"a block device", {device, O_WRONLY}, device, name.c_str(), "1K", BOTH, OK, POSIX_FILES},
                           Row{"loop devices over the input", {over_input, O_WRONLY}, "out.bin", name.c_str(), "1K", CREATE, OK,
                               POSIX_FILES},
                           Row{"usage text, loop devices over the input", {over_input, O_WRONLY}, "out.bin", name.c_str(), "0",
                               CREATE, FAILS, POSIX_FILES},
                           Row{"ulimit -n 8", null, "out.bin", name.c_str(), "1K", BOTH, OK, NATIVE_PROCESS},
                           Row{"cmd's >> out.bin", null, "out.bin", name.c_str(), "1K", BOTH, FAILS, EVERYWHERE, ">>out.bin"},
                           Row{"cmd's >> log.txt", into_log, "out.bin", name.c_str(), "1K", CREATE, OK, EVERYWHERE, ">>log.txt"},
                           Row{"no standard handles", null, "out.bin", name.c_str(), "1K", BOTH, OK, EVERYWHERE, "no-handles"},
                           Row{"input from a named pipe", null, "out.bin", named_pipe.c_str(), "1K", BOTH, OK, EVERYWHERE,
                               "serve-pipe"},
                           Row{"a pipe by its device's name", null, "out.bin", device_pipe.c_str(), "1K", BOTH, OK, EVERYWHERE,
                               "serve-pipe"},
                           Row{"a usage failure naming a pipe", null, "out.bin", device_pipe.c_str(), "0", BOTH, FAILS,
                               EVERYWHERE, "serve-pipe-to-none"},
                           Row{"usage text, cmd's >> out.bin", null, "out.bin", name.c_str(), "0", BOTH, FAILS, EVERYWHERE,
                               ">>out.bin"},
                           Row{"a lone surrogate in the output's name", null, "out\\uD800.bin", name.c_str(), "1K", CREATE,
                               FAILS, EVERYWHERE, "wide"},
                           Row{"a busy pipe, then cmd's >> input", null, "out.bin", name.c_str(), "1K", BOTH, OK, EVERYWHERE,
                               busy_then_input.c_str(), "\\\\.\\pipe\\a.byte"},
                           Row{"a pipe gone between its two clients", null, "out.bin", named_pipe.c_str(), "1K", BOTH, OK,
                               EVERYWHERE, "serve-pipe-slowly", named_pipe.c_str()}});
    // cmd's >> into an input, or into the output of a usage failure, by
    // another name than the argument's: short (8.3), in another case of
    // non-ASCII letters, through a folder link or a file link, by a share,
    // the device space or another drive letter (wine's subst makes none; a
    // dosdevices link does). Each pair: what the arguments and standard
    // output put before the file's name.
    std::string folder = "Z:" + dir.string() + "\\", server = dir.filename().string();
    std::replace(folder.begin(), folder.end(), '/', '\\');
    const std::string share = "\\\\" + server + "\\share\\", long_share = "\\\\?\\UNC\\" + server + "\\share\\";
    std::deque<std::string> names;
    for (const auto &[argument, spelling] : std::vector<std::pair<std::string, std::string>>{
             {"", "~" + folder}, {"", "äbc\\"}, {"äbc\\", "ÄBC\\"}, {"жук\\", "ЖУК\\"}, {"link-", share}, {share, long_share},
             {long_share, "\\\\.\\" + folder}, {"\\\\.\\" + folder, "Y:\\"}, {"Y:\\", "link-"}}) {
        const char *input = names.emplace_back(argument + name).c_str();
        const char *output = names.emplace_back(argument + "out.bin").c_str();
        for (const auto &[into, size] :
             std::vector<std::pair<std::string, const char *>>{{name, "1K"}, {name, "0"}, {"out.bin", "0"}}) {
            const char *mode = names.emplace_back(">>" + spelling + into).c_str();
            rows.push_back(Row{mode, null, output, input, size, CREATE, *size == '1', EVERYWHERE, mode, input});
        }
    }
#ifdef ROMWEAVE_WINE_PREFIX
    const std::string devices = ROMWEAVE_WINE_PREFIX "/dosdevices/";
    std::filesystem::remove(devices + "y:");
    std::filesystem::create_directories(devices + "unc/" + server);
    for (const auto &[link, target] : std::vector<std::pair<std::string, std::string>>{
             {"äbc", "."}, {"жук", "."}, {"link-" + name, name}, {"link-out.bin", "out.bin"},
             {devices + "unc/" + server + "/share", dir}})
        std::filesystem::create_symlink(target, path(link));
#endif
    for (const Row &row : rows) {
        if (row.windows_parent != nullptr && windows_exe() == nullptr)
            continue;
#ifdef ROMWEAVE_WINE_PREFIX
        // Y: over this folder, for the last rows alone: while it is there,
        // wine gives every file here that drive's serial, none if it came
        // after wine's server.
        if (strstr(row.name, "Y:") != nullptr && !std::filesystem::is_symlink(devices + "y:"))
            std::filesystem::create_directory_symlink(dir, devices + "y:");
#endif
        const std::string file = row.into.file != nullptr ? row.into.file : "", output = row.output;
        if (const char *reason = left_out(row.needed)) {
            std::cout << "row " << row.name << " left out: " << reason << "\n";
            continue;
        }
        ChildLimits limits;
        limits.stdout_closed = row.into.file == nullptr;
        limits.stdout_flags = row.into.flags;
        // Each input is closed once mixed in: a few descriptors are enough.
        limits.open_files = row.name == std::string("ulimit -n 8") ? 8 : 0;
        limits.windows_parent = row.windows_parent;
        for (bool update : {false, true}) {
            if ((row.modes & (update ? UPDATE : CREATE)) == 0)
                continue;
            write(name, records);
            // A device has whole sectors; what lies beyond the image stays.
            const std::string image_file = row.output == device ? "disk.img" : "out.bin";
            const std::string beyond = row.output == device ? std::string(1024, 't') : tail;
            std::string before = update ? std::string(1024, 'u') + beyond
                                        : row.output == device ? std::string(1024, 'c') + beyond : "";
            write(image_file, before);
            std::string output = row.output == device ? attach_loop_device(path("disk.img")) : row.output;
            std::vector<std::string> stacked;
            if (row.into.file == over_input) {
                stacked.push_back(attach_loop_device(input));
                stacked.push_back(attach_loop_device(stacked[0]));
            }
            if (output.empty() || (!stacked.empty() && stacked[1].empty())) {
                std::cout << "row " << row.name << " left out: no loop device here\n";
                for (const std::string &loop : stacked)
                    detach_loop_device(loop);
                continue;
            }
            limits.stdout_path = row.into.file == device     ? output.c_str()
                                 : row.into.file == over_input ? stacked[1].c_str()
                                 : row.into.file == pipe       ? nullptr
                                                               : row.into.file;
            std::vector<std::string> args = {"-s", row.size, output};
            std::string expected = image;
            if (update) {
                args.insert(args.begin(), "-u");
                std::replace(expected.begin(), expected.end(), '\xFF', 'u');
            }
            if (update || row.output == device)
                expected += beyond;
            if (row.first_input != nullptr)
                args.push_back(row.first_input);
            args.insert(args.end(), row.first_input != nullptr ? 1 : 300, row.input);
            ToolRun r = run_tool_in(dir.string(), args, limits);
            if (row.output == device)
                detach_loop_device(output);
            for (auto loop = stacked.rbegin(); loop != stacked.rend(); ++loop)
                detach_loop_device(*loop);
            EXPECT_EQ(row.succeeds ? 0 : 1, r.status) << row.name << " " << update;
            EXPECT_EQ(row.succeeds ? expected : before, row.into.file == pipe ? r.console : read(image_file))
                << row.name << " " << update;
            EXPECT_EQ(records, read(name)) << row.name << " " << update;
            if (file == log) {
                EXPECT_NE(std::string::npos, read("log.txt").find("Done")) << "messages lost on their way to a log";
            }
        }
    }
#ifdef ROMWEAVE_WINE_PREFIX
    std::filesystem::remove_all(devices + "unc/" + server);
    std::filesystem::remove(devices + "y:");
#endif
}

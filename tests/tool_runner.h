// Runs the built romweave in a scratch directory as a user would, and reads
// back what it printed and what it left on disk.
#ifndef ROMWEAVE_TOOL_RUNNER_H
#define ROMWEAVE_TOOL_RUNNER_H

#include <gtest/gtest.h>

#include "capabilities.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The tool under test: the native build, or another build of it started
// through a launcher (wine for the Windows build, qemu-user for the
// Raspberry Pi builds), given as one space-separated command.
inline const char *tool_path()
{
#ifdef ROMWEAVE_TOOL
    return ROMWEAVE_TOOL;
#else
    return ROMWEAVE_BINARY;
#endif
}

inline std::vector<std::string> launcher()
{
    std::vector<std::string> words;
#ifdef ROMWEAVE_LAUNCHER
    std::string command = ROMWEAVE_LAUNCHER;
    for (size_t start = 0, end; start < command.size(); start = end + 1) {
        end = command.find(' ', start);
        if (end == std::string::npos)
            end = command.size();
        if (end > start)
            words.push_back(command.substr(start, end - start));
    }
#endif
    return words;
}

// The Windows build, whose console ends lines with CR LF; or none.
inline const char *windows_exe()
{
#ifdef ROMWEAVE_WINDOWS_EXE
    return tool_path();
#else
    return nullptr;
#endif
}

#if !ROMWEAVE_HAS_FEXECVE
// Where the C library has no fexecve(), the tool is started by its name.
inline int fexecve(int, char *const argv[], char *const envp[])
{
    return execve(tool_path(), argv, envp);
}
#endif

struct ToolRun {
    int status;          // exit status, or 128 + signal
    std::string console; // everything printed on standard output
    int signal_number;   // the signal that ended the tool, or 0 if it exited
};

// What the child runs under; the defaults mean nothing special.
struct ChildLimits {
    rlim_t file_size = 0;         // RLIMIT_FSIZE in bytes
    uid_t user = 0;               // run as this user and group
    bool stdout_closed = false;   // descriptor 1 closed instead of captured
    const char *stdout_path = nullptr; // standard output on this file,
    int stdout_flags = O_WRONLY;       // opened so (O_TRUNC is '>', O_APPEND '>>')
    bool stdout_terminal = false;      // standard output on a pseudo-terminal
    const char *preload = nullptr;     // LD_PRELOAD for the tool
    rlim_t open_files = 0;             // RLIMIT_NOFILE
    int ignored_signal = 0;            // ignored when the tool starts, as by nohup
    int blocked_signal = 0;            // blocked when the tool starts, as by a supervisor
    rlim_t stack_size = 0;             // RLIMIT_STACK
    rlim_t address_space = 0;          // RLIMIT_AS
    const char *windows_parent = nullptr; // on Windows: started by windows_parent.exe in this mode
};

// A started tool: its process and the read end of its standard output.
struct StartedTool {
    pid_t pid;
    int console;
};

// The master side of a new pseudo-terminal, with the name of its other side.
inline int open_terminal(std::string &other_side)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
        if (master >= 0)
            close(master);
        return -1;
    }
    other_side = ptsname(master);
    return master;
}

// In the child: standard output on a new terminal, closed, on a file, or on
// the pipe that the test reads; nothing else that the test runner holds
// open, so that a limit on descriptors means the same under ctest as
// anywhere.
inline void set_up_descriptors(const ChildLimits &limits, int pipe_end, const std::string &terminal)
{
    if (limits.stdout_terminal)
        dup2(open(terminal.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC), STDOUT_FILENO);
    else if (limits.stdout_closed)
        close(STDOUT_FILENO);
    else if (limits.stdout_path != nullptr)
        dup2(open(limits.stdout_path, limits.stdout_flags | O_CLOEXEC, 0666), STDOUT_FILENO);
    else
        dup2(pipe_end, STDOUT_FILENO);
    for (int fd = STDERR_FILENO + 1; fd < 1024; fd++)
        close(fd);
}

// The tool's own signal handling is under test: it starts from the defaults,
// whatever the test runner inherited, but for what the case ignores or
// blocks; SIGQUIT dumps no core.
inline void set_up_signals(const ChildLimits &limits)
{
    for (int signal_number = 1; signal_number < NSIG; signal_number++)
        signal(signal_number, SIG_DFL);
    if (limits.ignored_signal != 0)
        signal(limits.ignored_signal, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    if (limits.blocked_signal != 0)
        sigaddset(&blocked, limits.blocked_signal);
    sigprocmask(SIG_SETMASK, &blocked, nullptr);
}

inline void set_limit(int resource, rlim_t value)
{
    struct rlimit limit = {value, value};
    if (value != 0 || resource == RLIMIT_CORE)
        setrlimit(resource, &limit);
}

// The command that starts the tool: through a launcher it is named by the
// descriptor `binary`, which the launcher can still read after a switch of
// user; on Windows maybe through windows_parent.exe.
inline std::vector<std::string> tool_command(const std::vector<std::string> &args, const ChildLimits &limits,
                                             int binary)
{
    std::vector<std::string> command = launcher();
#ifdef ROMWEAVE_WINDOWS_PARENT
    if (limits.windows_parent != nullptr)
        command.insert(command.end(), {ROMWEAVE_WINDOWS_PARENT, limits.windows_parent});
#else
    (void)limits;
#endif
    const bool held = !command.empty() && windows_exe() == nullptr;
    command.push_back(held ? "/proc/self/fd/" + std::to_string(binary) : tool_path());
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

inline StartedTool start_tool_in(const std::string &directory, const std::vector<std::string> &args,
                                 const ChildLimits &limits = {})
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return {-1, -1};
    std::string terminal;
    if (limits.stdout_terminal) {
        close(pipe_ends[0]);
        if ((pipe_ends[0] = open_terminal(terminal)) < 0)
            return {-1, -1};
    }
    pid_t child = fork();
    if (child != 0) {
        close(pipe_ends[1]);
        return {child, pipe_ends[0]};
    }
    set_up_descriptors(limits, pipe_ends[1], terminal);
    set_up_signals(limits);
    if (limits.preload != nullptr) {
        setenv("LD_PRELOAD", limits.preload, 1);
        // The sanitizers' runtime wants to come first; the library only
        // replaces a few calls of the C library.
        const char *asan = getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    }
#ifdef ROMWEAVE_WINE_PREFIX
    setenv("WINEPREFIX", ROMWEAVE_WINE_PREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
    // Wine reads POSIX file names and arguments in the locale's character
    // set; the cases' names are UTF-8.
    setenv("LC_ALL", "C.UTF-8", 1);
#endif
    // Opened while still privileged: an unprivileged user may not reach the
    // build tree.
    int binary = open(tool_path(), O_RDONLY | O_CLOEXEC);
    set_limit(RLIMIT_CORE, 0);
    set_limit(RLIMIT_FSIZE, limits.file_size);
    set_limit(RLIMIT_STACK, limits.stack_size);
    set_limit(RLIMIT_AS, limits.address_space);
    set_limit(RLIMIT_NOFILE, limits.open_files);
    if (binary < 0 || chdir(directory.c_str()) != 0)
        _exit(127);
    if (limits.user != 0 && (setgroups(0, nullptr) != 0 || setgid(limits.user) != 0 || setuid(limits.user) != 0))
        _exit(127);
    std::vector<std::string> command = tool_command(args, limits, binary);
    std::vector<char *> argv;
    for (std::string &word : command)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // A small stack holds the environment too: the test runner's, of any
    // size, would leave a different stack to the tool each time.
    char *small_environment[] = {const_cast<char *>("LC_ALL=C"), nullptr};
    if (launcher().empty()) {
        fexecve(binary, argv.data(), limits.stack_size != 0 ? small_environment : environ);
    } else {
        fcntl(binary, F_SETFD, 0);
        execvp(argv[0], argv.data());
    }
    _exit(127);
}

// Reads the tool's console to its end and waits for it to finish.
inline ToolRun finish_tool(const StartedTool &tool)
{
    if (tool.pid < 0)
        return {-1, "could not start the tool", 0};
    std::string console;
    char buffer[4096];
    ssize_t count;
    while ((count = read(tool.console, buffer, sizeof buffer)) > 0)
        console.append(buffer, static_cast<size_t>(count));
    close(tool.console);
    // Windows ends each line with CR LF: the console must have a CR before
    // every LF, and is then compared in the LF form that the cases expect.
    if (windows_exe() != nullptr) {
        std::string lf_form;
        for (size_t i = 0; i < console.size(); i++) {
            if (console[i] == '\r' && i + 1 < console.size() && console[i + 1] == '\n')
                continue;
            if (console[i] == '\n' && (i == 0 || console[i - 1] != '\r'))
                lf_form += "<LF without CR>";
            lf_form += console[i];
        }
        console = lf_form;
    }
    int wait_status = 0;
    waitpid(tool.pid, &wait_status, 0);
    if (WIFSIGNALED(wait_status))
        return {128 + WTERMSIG(wait_status), console, WTERMSIG(wait_status)};
    return {WEXITSTATUS(wait_status), console, 0};
}

inline ToolRun run_tool_in(const std::string &directory, const std::vector<std::string> &args,
                           const ChildLimits &limits = {})
{
    return finish_tool(start_tool_in(directory, args, limits));
}

// A fresh directory per test, removed with everything in it afterwards.
class ScratchTest : public testing::Test {
protected:
    std::filesystem::path dir;

    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "romweave-test-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        dir = pattern;
    }

    void TearDown() override
    {
        if (dir.empty())
            return;
        // A case may leave folders that forbid reading or writing them; each
        // gets its permissions back before anything in it is removed. Links
        // are not followed: one may lead to a device.
        std::error_code ignored;
        const auto restore = [&ignored](const std::filesystem::path &folder) {
            std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        };
        restore(dir);
        for (std::filesystem::recursive_directory_iterator entry(dir, ignored), end; entry != end;
             entry.increment(ignored))
            if (entry->is_directory(ignored) && !entry->is_symlink(ignored))
                restore(entry->path());
        std::filesystem::remove_all(dir, ignored);
    }

    ToolRun run(std::initializer_list<std::string> args, const ChildLimits &limits = {})
    {
        return run_tool_in(dir.string(), std::vector<std::string>(args), limits);
    }

    std::string path(const std::string &name) const { return (dir / name).string(); }

    void write(const std::string &name, const std::string &content) const
    {
        std::ofstream(path(name), std::ios::binary) << content;
    }

    std::string read(const std::string &name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    bool exists(const std::string &name) const
    {
        std::error_code ignored;
        return std::filesystem::exists(std::filesystem::symlink_status(path(name), ignored));
    }
};

// The permission bits of a file that `name` leads to, and those that any new
// file gets here: readable and writable as the umask allows.
inline mode_t permissions_of(const std::string &name)
{
    struct stat status {};
    return stat(name.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

inline mode_t new_file_permissions()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// A loop device whose bytes are those of `file`, where the kernel has them
// and the tests run as root; empty otherwise. detach_loop_device lets it go.
inline std::string attach_loop_device(const std::string &file)
{
    char device[64] = "";
    FILE *losetup = popen(("losetup -f --show '" + file + "' 2>/dev/null").c_str(), "r");
    if (losetup == nullptr)
        return std::string();
    bool named = fgets(device, sizeof device, losetup) != nullptr;
    if (pclose(losetup) != 0 || !named)
        return std::string();
    return std::string(device, strcspn(device, "\n"));
}

inline void detach_loop_device(const std::string &device)
{
    if (!device.empty() && system(("losetup -d " + device).c_str()) != 0)
        ADD_FAILURE() << "could not detach " << device;
}

// An image of `size` bytes of 0xFF, as nothing has been mixed in.
inline std::string blank_image(size_t size)
{
    return std::string(size, '\xFF');
}

#endif

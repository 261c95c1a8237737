// Runs the built romweave in a scratch directory as a user would, and reads
// back what it printed and what it left on disk.
#ifndef ROMWEAVE_TOOL_RUNNER_H
#define ROMWEAVE_TOOL_RUNNER_H

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

struct ToolRun {
    int status;          // exit status, or 128 + signal
    std::string console; // everything printed on standard output
};

// What the child runs under; the defaults mean nothing special.
struct ChildLimits {
    rlim_t file_size = 0;         // RLIMIT_FSIZE in bytes
    uid_t user = 0;               // run as this user and group
    bool stdout_closed = false;   // descriptor 1 closed instead of captured
    const char *stdout_path = nullptr; // standard output on this file
};

// A started tool: its process and the read end of its standard output.
struct StartedTool {
    pid_t pid;
    int console;
};

inline StartedTool start_tool_in(const std::string &directory, const std::vector<std::string> &args,
                                 const ChildLimits &limits = {})
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return {-1, -1};
    pid_t child = fork();
    if (child == 0) {
        if (limits.stdout_closed)
            close(STDOUT_FILENO);
        else if (limits.stdout_path != nullptr)
            dup2(open(limits.stdout_path, O_WRONLY), STDOUT_FILENO);
        else
            dup2(pipe_ends[1], STDOUT_FILENO);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        // The tool's own signal handling is under test: start it from the
        // defaults, whatever the test runner inherited.
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ})
            signal(signal_number, SIG_DFL);
        if (limits.file_size != 0) {
            struct rlimit limit = {limits.file_size, limits.file_size};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        // Opened while still privileged: an unprivileged user may not reach
        // the build tree.
        int binary = open(ROMWEAVE_BINARY, O_RDONLY | O_CLOEXEC);
        if (binary < 0 || chdir(directory.c_str()) != 0)
            _exit(127);
        if (limits.user != 0 &&
            (setgroups(0, nullptr) != 0 || setgid(limits.user) != 0 || setuid(limits.user) != 0))
            _exit(127);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(ROMWEAVE_BINARY));
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        fexecve(binary, argv.data(), environ);
        _exit(127);
    }
    close(pipe_ends[1]);
    return {child, pipe_ends[0]};
}

// Reads the tool's console to its end and waits for it to finish.
inline ToolRun finish_tool(const StartedTool &tool)
{
    if (tool.pid < 0)
        return {-1, "could not start the tool"};
    std::string console;
    char buffer[4096];
    ssize_t count;
    while ((count = read(tool.console, buffer, sizeof buffer)) > 0)
        console.append(buffer, static_cast<size_t>(count));
    close(tool.console);
    int wait_status = 0;
    waitpid(tool.pid, &wait_status, 0);
    int status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return {status, console};
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
        std::error_code ignored;
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
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

// An image of `size` bytes of 0xFF with the given bytes set.
inline std::string blank_image(size_t size)
{
    return std::string(size, '\xFF');
}

#endif

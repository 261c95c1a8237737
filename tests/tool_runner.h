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

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

struct ToolRun {
    int status;          // exit status, or 128 + signal
    std::string console; // everything printed on standard output
};

// Limits applied in the child only; 0 means none.
struct ChildLimits {
    rlim_t file_size = 0;
};

inline ToolRun run_tool_in(const std::string &directory, const std::vector<std::string> &args,
                           const ChildLimits &limits = {})
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return {-1, "pipe failed"};
    pid_t child = fork();
    if (child == 0) {
        dup2(pipe_ends[1], STDOUT_FILENO);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        if (limits.file_size != 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {limits.file_size, limits.file_size};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(ROMWEAVE_BINARY));
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        if (chdir(directory.c_str()) == 0)
            execv(ROMWEAVE_BINARY, argv.data());
        _exit(127);
    }
    close(pipe_ends[1]);
    std::string console;
    char buffer[4096];
    ssize_t count;
    while ((count = read(pipe_ends[0], buffer, sizeof buffer)) > 0)
        console.append(buffer, static_cast<size_t>(count));
    close(pipe_ends[0]);
    int wait_status = 0;
    waitpid(child, &wait_status, 0);
    int status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return {status, console};
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

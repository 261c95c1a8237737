// End to end: the built tool run on real files, checked for its exact console
// transcript, exit status, image bytes and what it leaves on disk.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <sys/stat.h>

#include "tool_runner.h"
#include "records.h"

namespace {

std::string usage_text()
{
    std::ifstream in(ROMWEAVE_USAGE_FILE, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using EndToEnd = ScratchTest;

} // namespace

TEST_F(EndToEnd, UnusableCommandLinesPrintUsageAndTouchNothing)
{
    write("in.byte", "0000: 00\n");
    write("keep.bin", "precious");
    const std::vector<std::vector<std::string>> command_lines = {
        {},
        {"out.bin"},
        {"-s", "64K", "out.bin"},
        {"-u", "out.bin"},
        {"-s", "0", "out.bin", "in.byte"},
        {"-s", "x", "out.bin", "in.byte"},
        {"-s", "1K5", "out.bin", "in.byte"},
        {"-s", "", "out.bin", "in.byte"},
        {"-s", "2048M", "out.bin", "in.byte"},
        {"-s", "4097M", "out.bin", "in.byte"},
        {"-o", "-5", "out.bin", "in.byte"},
        {"-o", "4096M", "out.bin", "in.byte"},
        {"-A", "FEDCBA987654321", "out.bin", "in.byte"},
        {"-A", "FEDCBA98765432100", "out.bin", "in.byte"},
        {"-D", "76543218", "out.bin", "in.byte"},
        {"-D", "7654321G", "out.bin", "in.byte"},
        {"-s", "1K", "-s", "0", "keep.bin", "in.byte"},
    };
    for (const auto &args : command_lines) {
        ToolRun r = run_tool_in(dir.string(), args);
        std::string shown = args.empty() ? "(none)" : args[0] + " " + (args.size() > 1 ? args[1] : "");
        EXPECT_EQ(1, r.status) << shown;
        EXPECT_EQ(usage_text(), r.console) << shown;
        EXPECT_FALSE(exists("out.bin")) << shown;
    }
    EXPECT_EQ("precious", read("keep.bin"));
}

TEST_F(EndToEnd, UnknownOptionIsNamedBeforeUsage)
{
    write("in.byte", "0000: 00\n");
    for (const char *option : {"-x", "--help", "--", "-", "-S"}) {
        ToolRun r = run({option, "out.bin", "in.byte"});
        EXPECT_EQ(1, r.status) << option;
        EXPECT_EQ("Unknown option \"" + std::string(option) + "\"\n" + usage_text(), r.console);
        EXPECT_FALSE(exists("out.bin"));
    }
}

TEST_F(EndToEnd, DefaultImageIsBlankBut32KOfRecords)
{
    write("a.byte", "0000: 3C\n7FFF: 12\r\n");
    ToolRun r = run({"out.bin", "a.byte"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Mixing in \"a.byte\"\nDone\n", r.console);
    std::string expected = blank_image(0x8000);
    expected[0] = '\x3C';
    expected[0x7FFF] = '\x12';
    EXPECT_EQ(expected, read("out.bin"));
    if (windows_exe() == nullptr) {
        EXPECT_EQ(new_file_permissions(), permissions_of(path("out.bin")));
    }
}

TEST_F(EndToEnd, SizeOffsetAndLaterFilesWin)
{
    write("a.byte", "0100: 3C\n0101: 01\n");
    write("b.byte", "0101: 02\n");
    ToolRun r = run({"-s", "16K", "-s", "64K", "-o", "32K", "out.bin", "a.byte", "b.byte"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Mixing in \"a.byte\"\nMixing in \"b.byte\"\nDone\n", r.console);
    std::string image = read("out.bin");
    ASSERT_EQ(65536u, image.size());
    EXPECT_EQ('\x3C', image[0x8100]);
    EXPECT_EQ('\x02', image[0x8101]);

    EXPECT_EQ(0, run({"-s", "1k", "-o", "", "small.bin", "a.byte"}).status);
    std::string small = read("small.bin");
    ASSERT_EQ(1024u, small.size());
    EXPECT_EQ('\x3C', small[0x100]);
}

TEST_F(EndToEnd, MapsReachTheImage)
{
    write("a.byte", "1234: 01\n");
    ToolRun r = run({"-s", "64K", "-A", "76543210FEDCBA98", "-D", "01234567", "out.bin", "a.byte"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ('\x80', read("out.bin")[0x3412]);
}

TEST_F(EndToEnd, NamesAfterTheOutputAreAlwaysInputs)
{
    write("-u", "0000: 77\n");
    ToolRun r = run({"out.bin", "-u"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Mixing in \"-u\"\nDone\n", r.console);
    EXPECT_EQ('\x77', read("out.bin")[0]);
}

TEST_F(EndToEnd, ProgressDotsFollowTheMixingInLine)
{
    write("a.byte", records(511));
    write("b.byte", records(254));
    ToolRun r = run({"out.bin", "a.byte", "b.byte"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Mixing in \"a.byte\"..\nMixing in \"b.byte\"\nDone\n", r.console);
}

TEST_F(EndToEnd, UpdateRewritesOnlyTheImageBytes)
{
    write("a.byte", "0001: 11\n");
    std::string original = std::string(16, 'a') + "tail bytes stay";
    write("img.bin", original);
    ToolRun r = run({"-u", "-s", "16", "img.bin", "a.byte"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Mixing in \"a.byte\"\nDone\n", r.console);
    std::string expected = original;
    expected[1] = '\x11';
    EXPECT_EQ(expected, read("img.bin"));

    // Several inputs at several offsets build one image over several runs.
    EXPECT_EQ(0, run({"-u", "-s", "16", "-o", "8", "img.bin", "a.byte"}).status);
    expected[9] = '\x11';
    EXPECT_EQ(expected, read("img.bin"));
}

TEST_F(EndToEnd, FailedUpdateLeavesFileUnchanged)
{
    write("short.bin", std::string(15, 'a'));
    write("a.byte", "0001: 11\n");
    ToolRun r = run({"-u", "-s", "16", "short.bin", "a.byte"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Failed to read 16 from file \"short.bin\"", r.console);
    EXPECT_EQ(std::string(15, 'a'), read("short.bin"));

    write("img.bin", std::string(16, 'a'));
    write("bad.byte", "0001: 11\n0002: 1\n");
    r = run({"-u", "-s", "16", "img.bin", "a.byte", "bad.byte"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Mixing in \"a.byte\"\nMixing in \"bad.byte\"\nError reading input file (line 2)", r.console);
    EXPECT_EQ(std::string(16, 'a'), read("img.bin"));

    r = run({"-u", "none.bin", "a.byte"});
    EXPECT_EQ("Unable to open output file \"none.bin\" for update", r.console);
    EXPECT_FALSE(exists("none.bin"));
}

TEST_F(EndToEnd, InputThatIsTheOutputIsRefusedUntouched)
{
    const std::string program = "0000: 01\n0001: 02\n";
    write("a.byte", program);
    std::filesystem::create_hard_link(path("a.byte"), path("link.byte"));
    std::filesystem::create_hard_link(path("a.byte"), path("πρόγραμμα.byte"));
    std::filesystem::create_symlink("a.byte", path("symlink.byte"));
    std::filesystem::create_directory(path("sub dir"));
    std::vector<std::string> outputs = {"a.byte", "link.byte", "πρόγραμμα.byte", "symlink.byte", "sub dir/../a.byte"};
    std::vector<std::pair<std::string, std::string>> cases;
    if (windows_exe() != nullptr) {
        // Backslashes, and a drive letter behind the \\?\ prefix: wine's Z:
        // is the POSIX root.
        std::string windows_path = "\\\\?\\Z:" + path("a.byte");
        std::replace(windows_path.begin(), windows_path.end(), '/', '\\');
        // A name longer than MAX_PATH, which only the wide functions take.
        std::string long_name;
        for (int i = 0; i < 25; i++)
            long_name += "sub dir\\..\\";
        outputs.insert(outputs.end(), {"sub dir\\..\\a.byte", windows_path, long_name + "a.byte"});
        // The prefix's form is that of a pipe's name, but it names a file;
        // so does a share named pipe (wine's \\server\share is
        // dosdevices/unc/server/share).
        cases.push_back({"a.byte", windows_path});
#ifdef ROMWEAVE_WINE_PREFIX
        const std::string server = dir.filename().string(), share = ROMWEAVE_WINE_PREFIX "/dosdevices/unc/" + server;
        std::filesystem::create_directories(share);
        std::filesystem::create_symlink(dir, share + "/pipe");
        cases.push_back({"a.byte", "\\\\" + server + "\\pipe\\a.byte"});
#endif
    }
    // A block device is one object whichever name leads to it, and a loop
    // device holds the bytes of its file: here one over a.byte, named by a
    // link as the input, and a.byte itself; another loop device over it, one
    // over the first, a partition of a loop device and its disk, and a file
    // on a file system that the output holds.
    for (const std::string &output : outputs)
        cases.push_back({output, "a.byte"});
    std::vector<std::string> devices = {windows_exe() == nullptr ? attach_loop_device(path("a.byte")) : ""};
    const std::string device = devices[0];
    if (!device.empty()) {
        std::filesystem::create_symlink(device, path("device.byte"));
        devices.insert(devices.end(), {attach_loop_device(path("a.byte")), attach_loop_device(device)});
        cases.insert(cases.end(), {{device, "device.byte"}, {device, "a.byte"}, {"a.byte", "device.byte"},
                                   {devices[1], device}, {devices[2], "a.byte"}, {"a.byte", devices[2]}});
        write("disk.img", std::string(64 * 1024, '\0'));
        devices.push_back(attach_loop_device(path("disk.img")));
        // A partition made so outlives its loop device: any left over goes first.
        if (system(("delpart " + devices[3] + " 1 2>/dev/null; addpart " + devices[3] + " 1 8 32").c_str()) == 0)
            cases.insert(cases.end(), {{devices[3] + "p1", devices[3]}, {devices[3], devices[3] + "p1"}});
        std::filesystem::create_directory(path("mnt"));
        write("fs.img", "");
        std::filesystem::resize_file(path("fs.img"), 1 << 20);
        devices.push_back(attach_loop_device(path("fs.img")));
        if (system(("mkfs.ext2 -q " + devices[4] + " 2>/dev/null && mount " + devices[4] + " " + path("mnt")).c_str()) == 0) {
            write("mnt/a.byte", program);
            cases.push_back({devices[4], "mnt/a.byte"});
        }
    }
    const std::vector<std::vector<std::string>> modes = {{}, {"-u", "-s", "9"}};
    for (const auto &options : modes) {
        for (const auto &[output, input] : cases) {
            std::vector<std::string> args = options;
            args.insert(args.end(), {output, input});
            ToolRun r = run_tool_in(dir.string(), args);
            EXPECT_EQ(1, r.status) << output << " " << options.size();
            EXPECT_EQ("Input file \"" + input + "\" is also the output file", r.console) << output;
            EXPECT_EQ(program, read("a.byte")) << output << " " << options.size();
        }
    }
    if (std::filesystem::exists(path("mnt/a.byte"))) {
        EXPECT_EQ(program, read("mnt/a.byte"));
        EXPECT_EQ(0, system(("umount " + path("mnt")).c_str()));
    }
    if (devices.size() > 3 && system(("delpart " + devices[3] + " 1 2>/dev/null").c_str()) != 0)
        std::cout << "no partition to remove\n";
    for (const std::string &loop : devices)
        detach_loop_device(loop);
#ifdef ROMWEAVE_WINE_PREFIX
    std::filesystem::remove_all(ROMWEAVE_WINE_PREFIX "/dosdevices/unc/" + dir.filename().string());
#endif
}

namespace {

// What a case does around the run besides its files.
enum class Setting { none, leased_output, mounted_output };

// Takes a read lease on `file` in a process of its own, which the lease's
// break ends (SIGIO), as a file server's would give it up. -1 where the
// system has no leases for it.
pid_t lease(const std::string &file)
{
#ifdef F_SETLEASE
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t holder = fork();
    if (holder == 0) {
        signal(SIGIO, SIG_DFL);
        int fd = open(file.c_str(), O_RDONLY);
        char leased = fd >= 0 && fcntl(fd, F_SETLEASE, F_RDLCK) == 0 ? 'y' : 'n';
        if (::write(ready[1], &leased, 1) == 1 && leased == 'y')
            pause();
        _exit(0);
    }
    close(ready[1]);
    char leased = 'n';
    bool held = holder > 0 && ::read(ready[0], &leased, 1) == 1 && leased == 'y';
    close(ready[0]);
    if (holder > 0 && !held)
        waitpid(holder, nullptr, 0);
    return held ? holder : -1;
#else
    (void)file;
    return -1;
#endif
}

} // namespace

TEST_F(EndToEnd, FailedRunsSayWhyAndLeaveNoImage)
{
    write("a.byte", "0000: 00\n");
    // Ctrl-Z is a byte like any other, not the end of a DOS text file.
    write("b.byte", "0000: 00\n\x1A" "1234:AB\n");
    write("c.byte", "8000: 00\n");
    write("bad.byte", "zz\n");
    std::filesystem::create_directory(path("sub"));
    std::filesystem::create_symlink("gone.byte", path("dangling.byte"));
    ChildLimits plain, little_memory, few_files, small_files, busy_pipe, held_unreadable;
    little_memory.address_space = 512 << 20;
    // On Windows: a pipe whose one instance is busy, then gone between
    // clients, and which must see no client; another program holding the
    // output without sharing it for reading.
    busy_pipe.windows_parent = "serve-pipe-slowly-to-none";
    held_unreadable.windows_parent = "deny-read:out.bin";
    const std::string also_output = "Input file \"out.bin\" is also the output file", pipe = "\\\\.\\pipe\\a.byte";
    small_files.file_size = 16 * 1024;
    few_files.open_files = 4;
    const char *const absent = nullptr, *const folder = "<folder>";
    const std::string bad_record = "Mixing in \"bad.byte\"\nError reading input file (line 1)";
    struct Row {
        const char *name;
        std::vector<std::string> args;
        std::string console;
        const char *before, *after; // the output's bytes, absent, or a folder
        const Capability &needed = EVERYWHERE;
        ChildLimits limits = {};
        Setting setting = Setting::none;
    };
    // A name is never a pattern, not even where the C library could expand
    // one (Windows): `*.byte` names no file.
    for (const Row &row :
         {Row{"a bad record in the second file", {"out.bin", "a.byte", "b.byte"},
              "Mixing in \"a.byte\"\nMixing in \"b.byte\"\nError reading input file (line 2)", absent, absent},
          Row{"an address beyond the image", {"out.bin", "c.byte"},
              "Mixing in \"c.byte\"\nAddress out of range (line 1, 0x008000 > 0x008000)", absent, absent},
          Row{"the output named after a missing input", {"out.bin", "gone.byte", "./out.bin"},
              "Unable to open input file \"gone.byte\" for reading", "old image", "old image"},
          Row{"a missing second input", {"out.bin", "a.byte", "*.byte"},
              "Unable to open input file \"*.byte\" for reading", "old image", "old image"},
          Row{"an input in a folder that does not exist", {"out.bin", "no/a.byte", "a.byte"},
              "Unable to open input file \"no/a.byte\" for reading", "old image", "old image"},
          Row{"a missing input in update mode", {"-u", "-s", "9", "out.bin", "a.byte", "gone.byte"},
              "Mixing in \"a.byte\"\nUnable to open input file \"gone.byte\" for reading", "old image", "old image"},
          Row{"a vanished input", {"out.bin", "a.byte", "dangling.byte"},
              "Unable to open input file \"dangling.byte\" for reading", absent, absent},
          Row{"a folder as input", {"out.bin", "sub"}, "Mixing in \"sub\"\nError reading input file (line 1)", absent,
              absent},
          Row{"a folder as output", {"sub", "a.byte"}, "Unable to create output file \"sub\"", folder, folder},
          Row{"an input that the run would create", {"out.bin", "a.byte", "out.bin"},
              "Unable to open input file \"out.bin\" for reading", absent, absent},
          Row{"no memory for the image", {"-s", "1024M", "out.bin", "a.byte"},
              "Unable to allocate 1073741824 bytes of memory for image buffer\n", "old image", "old image",
              LIMITED_ADDRESS_SPACE, little_memory},
          Row{"ulimit -n 4", {"out.bin", "a.byte"}, "Unable to create output file \"out.bin\"", absent, absent,
              NATIVE_PROCESS, few_files},
          Row{"an output another process holds a lease on", {"out.bin", "bad.byte"}, bad_record, "old image", absent,
              POSIX_FILES, plain, Setting::leased_output},
          Row{"the same in update mode", {"-u", "-s", "9", "out.bin", "bad.byte"}, bad_record, "old image",
              "old image", POSIX_FILES, plain, Setting::leased_output},
          Row{"an output that is a mount point, cut short", {"-s", "64K", "out.bin", "a.byte"},
              "Mixing in \"a.byte\"\nError writing output file \"out.bin\"\n", "old image", "", POSIX_FILES,
              small_files, Setting::mounted_output},
          Row{"a busy pipe, then the output", {"out.bin", pipe, "out.bin"}, also_output, "old image", "old image",
              EVERYWHERE, busy_pipe},
          Row{"a pipe named twice, then the output", {"out.bin", pipe, pipe, "out.bin"}, also_output, "old image",
              "old image", EVERYWHERE, busy_pipe},
          Row{"the output, held unshared for reading, as an input", {"out.bin", "a.byte", "out.bin"}, also_output,
              "old image", "old image", EVERYWHERE, held_unreadable}}) {
        if (row.limits.windows_parent != nullptr && windows_exe() == nullptr)
            continue;
        const std::string output = row.before == folder ? "sub" : "out.bin";
        if (row.before != absent && row.before != folder)
            write(output, row.before);
        const char *reason = left_out(row.needed);
        pid_t holder = 0;
        if (reason == nullptr && row.setting == Setting::leased_output && (holder = lease(path(output))) < 0)
            reason = "no lease can be taken on a file here";
        const std::string mount = "'" + path("volume.bin") + "' '" + path(output) + "'";
        if (reason == nullptr && row.setting == Setting::mounted_output) {
            write("volume.bin", row.before);
            if (system(("mount --bind " + mount + " 2>/dev/null").c_str()) != 0)
                reason = "no file can be mounted here (needs root)";
        }
        if (reason != nullptr) {
            std::cout << "row " << row.name << " left out: " << reason << "\n";
            std::filesystem::remove(path(output));
            continue;
        }
        ToolRun r = run_tool_in(dir.string(), row.args, row.limits);
        if (holder > 0)
            waitpid(holder, nullptr, 0);
        EXPECT_EQ(1, r.status) << row.name;
        EXPECT_EQ(row.console, r.console) << row.name;
        if (row.after == folder)
            EXPECT_TRUE(std::filesystem::is_directory(path(output))) << row.name;
        else if (row.after == absent)
            EXPECT_FALSE(exists(output)) << row.name;
        else
            EXPECT_TRUE(row.after == read(output)) << row.name;
        if (row.setting == Setting::mounted_output) {
            EXPECT_TRUE(read("volume.bin").empty()) << "the mounted file keeps a partial image";
            EXPECT_EQ(0, system(("umount " + mount.substr(mount.rfind(" ") + 1)).c_str()));
        }
        std::filesystem::remove(path(output));
    }
    EXPECT_TRUE(std::filesystem::is_symlink(path("dangling.byte")));
}

TEST_F(EndToEnd, FailedRunNeverRemovesADevice)
{
    // Through a link, so that a faulty build can only ever remove the link;
    // Windows has its null device NUL in every folder.
    std::filesystem::create_symlink("/dev/null", path("null.bin"));
    write("bad.byte", "zz\n");
    std::vector<std::string> devices = {"null.bin"};
    if (windows_exe() != nullptr)
        devices.push_back("NUL");
    for (const std::string &device : devices) {
        ToolRun r = run({device, "bad.byte"});
        EXPECT_EQ(1, r.status) << device;
        EXPECT_EQ("Mixing in \"bad.byte\"\nError reading input file (line 1)", r.console) << device;
    }
    EXPECT_TRUE(std::filesystem::is_character_file(path("null.bin")));
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

TEST_F(EndToEnd, FailedRunThroughALinkRemovesTheFileAndKeepsTheLink)
{
    if (const char *reason = left_out(POSIX_FILES))
        GTEST_SKIP() << reason;
    // A relative link counts from its own folder, an absolute one from the
    // root; the kernel follows a chain of 40 links, and so must the removal.
    std::filesystem::create_directory(path("sub"));
    std::filesystem::create_symlink("t.bin", path("link.bin"));
    std::filesystem::create_symlink("new.bin", path("dangling.bin"));
    std::filesystem::create_symlink("t.bin", path("sub/link.bin"));
    std::filesystem::create_symlink(path("t.bin"), path("sub/absolute.bin"));
    std::filesystem::create_symlink("t", path("one.bin"));
    std::filesystem::create_symlink("t.bin", path("chain1"));
    for (int i = 2; i <= 40; i++)
        std::filesystem::create_symlink("chain" + std::to_string(i - 1), path("chain" + std::to_string(i)));
    // A name of some 4000 characters whose folder and link target together
    // are longer than any path may be; the target is longer than the first
    // buffer it is read into.
    std::string deep = "deep";
    for (int i = 0; i < 16; i++)
        deep += "/" + std::string(245, 'd');
    std::filesystem::create_directories(path(deep));
    const std::string deep_link = deep + "/link.bin";
    std::string target;
    for (int i = 0; i < 100; i++)
        target += "./";
    std::filesystem::create_symlink(target + std::string(200, 't'), path(deep_link));
    write("bad.byte", "zz\n");
    struct Row {
        const char *link, *untouched, *input;
    };
    for (const Row &row : {Row{"link.bin", "sub/t.bin", "bad.byte"}, Row{"dangling.bin", "t.bin", "bad.byte"},
                           Row{"sub/link.bin", "t.bin", "bad.byte"}, Row{"chain40", "sub/t.bin", "bad.byte"},
                           Row{"sub/absolute.bin", "sub/t.bin", "bad.byte"}, Row{"one.bin", "t.bin", "bad.byte"},
                           Row{deep_link.c_str(), "t.bin", "bad.byte"},
                           Row{"dangling.bin", "t.bin", "dangling.bin"}}) {
        write("t.bin", "old image");
        write("sub/t.bin", "old image");
        write("t", "old image");
        write(deep_link, "old image");
        EXPECT_EQ(1, run({row.link, row.input}).status) << row.link;
        EXPECT_TRUE(std::filesystem::is_symlink(path(row.link))) << row.link;
        EXPECT_FALSE(std::filesystem::exists(path(row.link))) << row.link << " leads to a file still";
        EXPECT_EQ("old image", read(row.untouched)) << row.link;
    }

    write("a.byte", "0000: 5A\n");
    EXPECT_EQ(0, run({"-s", "1", "link.bin", "a.byte"}).status);
    EXPECT_TRUE(std::filesystem::is_symlink(path("link.bin")));
    EXPECT_EQ("\x5A", read("t.bin"));
    // A file made through a dangling link is made as any new file is.
    EXPECT_EQ(0, run({"-s", "1", "dangling.bin", "a.byte"}).status);
    EXPECT_EQ(new_file_permissions(), permissions_of(path("new.bin")));
}

TEST_F(EndToEnd, ShippedExampleBuildsTheBoardImage)
{
    ToolRun r = run_tool_in(dir.string(), {"-s", "8K", "-A", "LLLCBA9876543210", path("board.bin"),
                                           ROMWEAVE_EXAMPLES "/blink.byte", ROMWEAVE_EXAMPLES "/vectors.byte"});
    EXPECT_EQ(0, r.status) << r.console;
    std::string image = read("board.bin");
    ASSERT_EQ(8192u, image.size());
    EXPECT_EQ('\x78', image[0x0000]);  // SEI, first instruction at E000
    EXPECT_EQ('\x00', image[0x1FFC]);  // reset vector E000
    EXPECT_EQ('\xE0', image[0x1FFD]);
    EXPECT_EQ('\xFF', image[0x1000]);
}

namespace {

// The README's first command block whose first line holds `start`, as
// printed there.
std::string readme_block(const std::string &start)
{
    std::ifstream readme(ROMWEAVE_README);
    std::string line, previous, block;
    while (std::getline(readme, line)) {
        const bool command = line.rfind("    ", 0) == 0;
        if (command && (!block.empty() || (previous.empty() && line.find(start, 4) != std::string::npos)))
            block += line.substr(4) + "\n";
        else if (!block.empty())
            break;
        previous = line;
    }
    return block;
}

// An image of `size` bytes of 0xFF with the given bytes at the given places.
std::string image_with(size_t size, std::initializer_list<std::pair<size_t, std::string>> parts)
{
    std::string image = blank_image(size);
    for (const auto &part : parts)
        image.replace(part.first, part.second.size(), part.second);
    return image;
}

} // namespace

TEST_F(EndToEnd, ReadmeRecipesBurnTheRightBytes)
{
    // The tool under test as `romweave` on the PATH, which the README's
    // commands name.
    std::string command = "exec env";
#ifdef ROMWEAVE_WINE_PREFIX
    command += " WINEPREFIX='" ROMWEAVE_WINE_PREFIX "' WINEDEBUG=-all";
#endif
    for (const std::string &word : launcher())
        command += " '" + word + "'";
    std::filesystem::create_directory(path("bin"));
    write("bin/romweave", "#!/bin/sh\n" + command + " '" + tool_path() + "' \"$@\"\n");
    chmod(path("bin/romweave").c_str(), 0755);

    using namespace std::string_literals;
    // The shipped examples: the quick start's 6502 program at E000 and its
    // vectors, the halves of a 128 KiB chip, and a 68000's vectors and loop.
    const std::string program = "\x78\xD8\xA2\xFF\x9A\xA9\xFF\x8D\x02\x60\xA9\x55\x8D\x00\x60\x49"
                                "\xFF\xA2\x00\xCA\xD0\xFD\x4C\x0C\xE0\x40"s;
    const std::string board = image_with(8192, {{0, program}, {0x1FFA, "\x19\xE0\x00\xE0\x19\xE0"s}});
    // Chips over 64 KiB, with data across a window's edge and a vector at the
    // top, and the even and odd bytes of the first as two 64 KiB chips.
    const std::string edge = "\x00\x01\x7F\x80\xFE\x4C\x12\x34\x00\x00\x55\xAA\xC3\x3C\x01\x02"s;
    const std::string chip128 = image_with(128 * 1024, {{0xFFF8, edge}, {0x1FFFC, "\x00\xF0\x00\xF0"s}});
    const std::string chip512 =
        image_with(512 * 1024, {{0xFFF0, edge + edge}, {0x3FFF8, edge}, {0x7FFFA, "\x00\xF0\x00\xF0\x12\xF0"s}});
    std::string even, odd;
    for (size_t i = 0; i < chip128.size(); i++)
        (i % 2 ? odd : even) += chip128[i];
    using Files = std::map<std::string, std::string>;
    struct Recipe {
        std::vector<std::string> steps; // README blocks by how they begin, or "$ " and a command
        Files inputs, results;
    };
    for (const Recipe &recipe :
         {Recipe{{"od -An"}, {}, {{"board.bin", board}}},
          Recipe{{"| romweave"}, {}, {{"board.bin", board}}},
          Recipe{{"base=$(objdump", "base=$((0x$base))"}, {}, {{"prog.bin", board}, {"board.bin", board}}},
          Recipe{{"objcopy -I binary", "$ mv board.hex examples/blink.hex && rm board.bin", "base=$(objdump",
                  "base=$((0x$base))"},
                 {{"board.bin", board}},
                 {{"board.bin", board}}},
          Recipe{{"romweave -s 128K"}, {},
                 {{"rom.bin", image_with(128 * 1024, {{0, "LOW"}, {0xFFFF, "\x01"}, {0x10000, "HIGH"},
                                                      {0x1FFFF, "\x02"}})}}},
          Recipe{{"romweave -s 64K -A 0F"}, {},
                 {{"even.bin", image_with(32768, {{0, "\x00\x00\x00\x04"s}, {0x200, "\x4E\x60"}})},
                  {"odd.bin", image_with(32768, {{0, "\x01\x00\x00\x00"s}, {0x200, "\x71\xFC"}})}}},
          Recipe{{"size=128K", "rm -f win.*"}, {{"prog.bin", chip128}}, {{"rom.bin", chip128}}},
          Recipe{{"$ objcopy -I binary -O ihex --change-addresses 0xFFF0 prog.bin examples/blink.hex", "base=$(objdump",
                  "size=512K", "rm -f win.*"}, {{"prog.bin", chip512.substr(0xFFF0)}}, {{"rom.bin", chip512}}},
          Recipe{{"int(n / 2)"}, {{"prog.bin", chip128}}, {{"even.bin", even}, {"odd.bin", odd}}},
          Recipe{{"od -An", "$ {", "od -An -v -tu1", "$ } > sums"}, {}, {{"sums", "sum D0F8\nCRC-32 08B09707\n"}}},
          Recipe{{"$ {", "od -An -v -tu1", "$ } > sums"}, {{"board.bin", "123456789"}},
                 {{"sums", "sum 01DD\nCRC-32 CBF43926\n"}}}}) {
        // The recipes name their inputs as a checkout holds them.
        std::filesystem::remove_all(path("examples"));
        std::filesystem::copy(ROMWEAVE_EXAMPLES, path("examples"));
        std::string script = "cd '" + dir.string() + "' && PATH=\"$PWD/bin:$PATH\" && set -e\n";
        for (const std::string &step : recipe.steps) {
            const std::string block = step.rfind("$ ", 0) == 0 ? step.substr(2) + "\n" : readme_block(step);
            ASSERT_FALSE(block.empty()) << "no README block begins with " << step;
            script += block;
        }
        if (script.find("objcopy") != std::string::npos && system("command -v objcopy >/dev/null") != 0) {
            std::cout << "recipe " << recipe.steps[0] << " left out: objcopy is not installed (Debian: binutils)\n";
            continue;
        }
        if (windows_exe() != nullptr && script.find("/dev/") != std::string::npos)
            continue; // Windows has no /dev names, as the README says
        for (const auto &input : recipe.inputs)
            write(input.first, input.second);
        EXPECT_EQ(0, system(script.c_str())) << script;
        for (const auto &result : recipe.results)
            EXPECT_TRUE(result.second == read(result.first)) << script << "gave a wrong " << result.first;
    }
}

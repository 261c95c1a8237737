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

TEST_F(EndToEnd, BadRecordInSecondFileRemovesCreatedOutput)
{
    write("a.byte", "0000: 00\n");
    // Ctrl-Z is a byte like any other, not the end of a DOS text file.
    write("b.byte", "0000: 00\n\x1A" "1234:AB\n");
    ToolRun r = run({"out.bin", "a.byte", "b.byte"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Mixing in \"a.byte\"\nMixing in \"b.byte\"\nError reading input file (line 2)",
              r.console);
    EXPECT_FALSE(exists("out.bin"));

    write("c.byte", "8000: 00\n");
    r = run({"out.bin", "c.byte"});
    EXPECT_EQ("Mixing in \"c.byte\"\nAddress out of range (line 1, 0x008000 > 0x008000)", r.console);
    EXPECT_FALSE(exists("out.bin"));
}

TEST_F(EndToEnd, MissingSecondInputFollowsFirstLine)
{
    write("a.byte", "0000: 00\n");
    write("out.bin", "old image");
    // A name is never a pattern, not even where the C library could expand
    // one (Windows): `*.byte` names no file.
    ToolRun r = run({"out.bin", "a.byte", "*.byte"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Mixing in \"a.byte\"\nUnable to open input file \"*.byte\" for reading", r.console);
    EXPECT_FALSE(exists("out.bin"));
}

TEST_F(EndToEnd, DirectoryAsInputFails)
{
    std::filesystem::create_directory(path("sub"));
    ToolRun r = run({"out.bin", "sub"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Mixing in \"sub\"\nError reading input file (line 1)", r.console);
    EXPECT_FALSE(exists("out.bin"));
}

TEST_F(EndToEnd, OutputThatCannotBeCreated)
{
    write("a.byte", "0000: 00\n");
    std::filesystem::create_directory(path("sub"));
    ToolRun r = run({"sub", "a.byte"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Unable to create output file \"sub\"", r.console);
    EXPECT_TRUE(std::filesystem::is_directory(path("sub")));
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
        // The prefix's form is that of a pipe's name, but it names a file.
        cases.push_back({"a.byte", windows_path});
    }
    // A block device is one object whichever name leads to it: here a loop
    // device over a.byte, named by a link as the input.
    for (const std::string &output : outputs)
        cases.push_back({output, "a.byte"});
    const std::string device = windows_exe() == nullptr ? attach_loop_device(path("a.byte")) : "";
    if (!device.empty()) {
        std::filesystem::create_symlink(device, path("device.byte"));
        cases.push_back({device, "device.byte"});
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
    detach_loop_device(device);
}

TEST_F(EndToEnd, InputThatTheRunCreatedIsRefused)
{
    write("a.byte", "0000: 01\n");
    ToolRun r = run({"new.bin", "a.byte", "new.bin"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Mixing in \"a.byte\"\nInput file \"new.bin\" is also the output file", r.console);
    EXPECT_FALSE(exists("new.bin"));
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
    // are longer than any path may be.
    std::string deep = "deep";
    for (int i = 0; i < 16; i++)
        deep += "/" + std::string(245, 'd');
    std::filesystem::create_directories(path(deep));
    const std::string deep_link = deep + "/link.bin";
    std::filesystem::create_symlink(std::string(200, 't'), path(deep_link));
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

// The README's command block that begins with `start`, as printed there.
std::string readme_block(const std::string &start)
{
    std::ifstream readme(ROMWEAVE_README);
    std::string line, previous, block;
    while (std::getline(readme, line)) {
        const bool command = line.rfind("    ", 0) == 0;
        if (command && (!block.empty() || (previous.empty() && line.compare(4, start.size(), start) == 0)))
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
    using Files = std::map<std::string, std::string>;
    struct Recipe {
        std::vector<std::string> steps; // README blocks by how they begin, or "$ " and a command
        Files inputs, results;
    };
    for (const Recipe &recipe :
         {Recipe{{"od -An"}, {}, {{"board.bin", board}}},
          Recipe{{"base=$(objdump"}, {}, {{"prog.bin", board}, {"board.bin", board}}},
          Recipe{{"objcopy -I binary", "$ mv board.hex examples/blink.hex && rm board.bin", "base=$(objdump"},
                 {{"board.bin", board}},
                 {{"board.bin", board}}},
          Recipe{{"romweave -s 128K"}, {},
                 {{"rom.bin", image_with(128 * 1024, {{0, "LOW"}, {0xFFFF, "\x01"}, {0x10000, "HIGH"},
                                                      {0x1FFFF, "\x02"}})}}},
          Recipe{{"romweave -s 64K -A 0F"}, {},
                 {{"even.bin", image_with(32768, {{0, "\x00\x00\x00\x04"s}, {0x200, "\x4E\x60"}})},
                  {"odd.bin", image_with(32768, {{0, "\x01\x00\x00\x00"s}, {0x200, "\x71\xFC"}})}}}}) {
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
        for (const auto &input : recipe.inputs)
            write(input.first, input.second);
        EXPECT_EQ(0, system(script.c_str())) << script;
        for (const auto &result : recipe.results)
            EXPECT_TRUE(result.second == read(result.first)) << script << "gave a wrong " << result.first;
    }
}

// Byte-record reader: record syntax, where each byte lands, progress dots and
// the failures, fed from memory.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <csignal>

#include <unistd.h>

#include "image_job.h"
#include "records.h"

namespace {

struct Mixed {
    int status;
    std::string console;
    std::vector<unsigned char> image;
};

struct Options {
    uint32_t size = DEFAULT_IMAGE_SIZE;
    uint32_t offset = 0;
    const char *address_map = nullptr;
    const char *data_map = nullptr;
};

Mixed mix_stream(FILE *input, const Options &options)
{
    ImageJob job;
    job.image_size = options.size;
    job.address_offset = options.offset;
    if (options.address_map)
        job.address_map = parse_line_map(options.address_map, ADDRESS_LINES);
    if (options.data_map)
        job.data_map = parse_line_map(options.data_map, DATA_LINES);
    job.image = allocate_image(options.size);
    memset(job.image, 0xFF, options.size);
    job.input = input;
    testing::internal::CaptureStdout();
    int status = mix_in_file(job);
    std::string console = testing::internal::GetCapturedStdout();
    std::vector<unsigned char> image(job.image, job.image + options.size);
    free_image(job.image);
    return {status, console, image};
}

Mixed mix(const std::string &text, const Options &options = {})
{
    FILE *input = tmpfile();
    EXPECT_NE(nullptr, input);
    fwrite(text.data(), 1, text.size(), input);
    rewind(input);
    Mixed result = mix_stream(input, options);
    fclose(input);
    return result;
}

const std::string READ_ERROR_LINE_1 = "\nError reading input file (line 1)";

} // namespace

TEST(ByteReader, EmptyFileStoresNothing)
{
    Mixed m = mix("");
    EXPECT_EQ(0, m.status);
    EXPECT_EQ("", m.console);
    EXPECT_EQ(std::vector<unsigned char>(DEFAULT_IMAGE_SIZE, 0xFF), m.image);
}

TEST(ByteReader, StoresRecordsInAnyCaseAndLineEnd)
{
    Mixed m = mix("0000: 3C\n12ab: ff\r\n12AC: 0a\r\n7FFF: 00\n");
    EXPECT_EQ(0, m.status);
    EXPECT_EQ("", m.console);
    EXPECT_EQ(0x3C, m.image[0x0000]);
    EXPECT_EQ(0xFF, m.image[0x12AB]);
    EXPECT_EQ(0x0A, m.image[0x12AC]);
    EXPECT_EQ(0x00, m.image[0x7FFF]);
    EXPECT_EQ(0xFF, m.image[0x0001]);
}

TEST(ByteReader, LaterRecordWins)
{
    Mixed m = mix("0100: 11\n0100: 22\n");
    EXPECT_EQ(0, m.status);
    EXPECT_EQ(0x22, m.image[0x100]);
}

TEST(ByteReader, MalformedRecordFailsOnItsLine)
{
    // A bad second digit of each byte, and one wrong character in place of
    // the colon or of the space, must fail too: a reader that skipped it
    // would take the rest for a good record.
    for (const char *bad : {"1234:AB\n", "1234:  AB\n", " 1234: AB\n", "123: AB\n", "1234: AB \n",
                            "1234; AB\n", "12G4: AB\n", "1234: A\n", "1234: AB\r\r\n", "1234: AB\r",
                            "\n", "1234: AB", "1G34: AB\n", "123G: AB\n", "1234: AG\n", "1234 AB\n",
                            "1234:\tAB\n"}) {
        Mixed m = mix(std::string("0000: 00\n0001: 01\n") + bad);
        EXPECT_EQ(1, m.status) << bad;
        EXPECT_EQ("\nError reading input file (line 3)", m.console) << bad;
    }
}

TEST(ByteReader, StoresBeforeAFailureStay)
{
    Mixed m = mix("0010: AA\nzz\n0011: BB\n");
    EXPECT_EQ(1, m.status);
    EXPECT_EQ(0xAA, m.image[0x10]);
    EXPECT_EQ(0xFF, m.image[0x11]);
}

TEST(ByteReader, RangeIsCheckedAfterMapAndOffset)
{
    Mixed fits = mix("7FFF: 01\n");
    EXPECT_EQ(0, fits.status);
    EXPECT_EQ(0x01, fits.image[0x7FFF]);

    Mixed beyond = mix("7FFF: 01\n8000: 02\n");
    EXPECT_EQ(1, beyond.status);
    EXPECT_EQ("\nAddress out of range (line 2, 0x008000 > 0x008000)", beyond.console);

    Options shifted;
    shifted.size = 0x10000;
    shifted.offset = 0x8000;
    Mixed low = mix("0000: 5A\n", shifted);
    EXPECT_EQ(0, low.status);
    EXPECT_EQ(0x5A, low.image[0x8000]);
    Mixed high = mix("0000: 5A\n8000: 01\n", shifted);
    EXPECT_EQ("\nAddress out of range (line 2, 0x010000 > 0x010000)", high.console);

    Options tied;
    tied.size = 0x2000;
    tied.address_map = "LLLCBA9876543210";
    Mixed mapped = mix("FFFC: 00\nFFFD: E0\n", tied);
    EXPECT_EQ(0, mapped.status);
    EXPECT_EQ(0x00, mapped.image[0x1FFC]);
    EXPECT_EQ(0xE0, mapped.image[0x1FFD]);
    tied.address_map = "HHHHHHHHHHHHHHHH";
    EXPECT_EQ("\nAddress out of range (line 1, 0x00FFFF > 0x002000)", mix("0000: 00\n", tied).console);
}

TEST(ByteReader, MapsApplyToEveryRecord)
{
    struct Case {
        const char *address_map, *data_map, *record;
        uint32_t position, value;
    } cases[] = {
        {nullptr, "01234567", "0000: 01\n", 0x0000, 0x80}, {nullptr, "01234567", "0001: F0\n", 0x0001, 0x0F},
        {nullptr, "hhhhhhhh", "0000: 00\n", 0x0000, 0xFF}, {nullptr, "hhhhhhhh", "0001: 5A\n", 0x0001, 0xFF},
        {"76543210FEDCBA98", nullptr, "1234: 5A\n", 0x3412, 0x5A},
        {"FFFFFFFFFFFFFFFF", "HL543210", "8000: 5A\n", 0xFFFF, 0x9A},
        {"HLFEDCBA98765432", "L0123456", "1234: 5A\n", 0x848D, 0x2D},
    };
    for (const Case &c : cases) {
        Options options;
        options.size = 0x10000;
        options.address_map = c.address_map;
        options.data_map = c.data_map;
        Mixed m = mix(c.record, options);
        EXPECT_EQ(0, m.status) << c.record;
        EXPECT_EQ(c.value, m.image[c.position]) << c.record;
    }
}

TEST(ByteReader, DotAfterEvery256thLineNumber)
{
    EXPECT_EQ("", mix(records(254)).console);
    EXPECT_EQ(".", mix(records(255)).console);
    EXPECT_EQ(".", mix(records(256)).console);
    EXPECT_EQ("..", mix(records(511)).console);
    // The dot comes before a failure on the next record.
    EXPECT_EQ(".\nError reading input file (line 256)", mix(records(255) + "x\n").console);
}

TEST(ByteReader, DirectoryIsAReadErrorNotAnEmptyFile)
{
    FILE *directory = fopen(".", "rb");
    ASSERT_NE(nullptr, directory);
    Mixed m = mix_stream(directory, {});
    fclose(directory);
    EXPECT_EQ(1, m.status);
    EXPECT_EQ(READ_ERROR_LINE_1, m.console);
}

// A stream that fails needs fopencookie(), which glibc and musl have.
#if ROMWEAVE_HAS_FOPENCOOKIE
namespace {

// A stream that yields its text and then fails, as a disk with a bad sector
// would after the first blocks.
struct FailingSource {
    std::string text;
    size_t at = 0;
};

ssize_t read_then_fail(void *cookie, char *buffer, size_t size)
{
    auto *source = static_cast<FailingSource *>(cookie);
    if (source->at == source->text.size()) {
        errno = EIO;
        return -1;
    }
    size_t count = std::min(size, source->text.size() - source->at);
    memcpy(buffer, source->text.data() + source->at, count);
    source->at += count;
    return static_cast<ssize_t>(count);
}

Mixed mix_failing_after(const std::string &text)
{
    FailingSource source{text};
    cookie_io_functions_t io{};
    io.read = read_then_fail;
    FILE *input = fopencookie(&source, "rb", io);
    EXPECT_NE(nullptr, input);
    Mixed result = mix_stream(input, {});
    fclose(input);
    return result;
}

} // namespace

TEST(ByteReader, ReadErrorBetweenRecordsFails)
{
    Mixed m = mix_failing_after("0000: 01\n0001: 02\n");
    EXPECT_EQ(1, m.status);
    EXPECT_EQ("\nError reading input file (line 3)", m.console);
    EXPECT_EQ(0x02, m.image[1]);
}

TEST(ByteReader, ReadErrorInsideARecordFails)
{
    Mixed m = mix_failing_after("0000: 01\n0001: 0");
    EXPECT_EQ("\nError reading input file (line 2)", m.console);
}
#endif

namespace {

// The write end of a pipe that the test holds open, closed by an alarm.
volatile sig_atomic_t held_writer = -1;

void let_the_writer_go(int)
{
    close(held_writer);
}

} // namespace

TEST(ByteReader, BadCharacterFromAPipeFailsAtOnce)
{
    // The writer stays for a second: a reader that waited for the rest of
    // the record would wait until the alarm lets the writer go.
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    ASSERT_EQ(12, write(ends[1], "0000: 00\n12G", 12));
    held_writer = ends[1];
    signal(SIGALRM, let_the_writer_go);
    alarm(1);
    FILE *input = fdopen(ends[0], "rb");
    auto start = std::chrono::steady_clock::now();
    Mixed m = mix_stream(input, {});
    auto waited = std::chrono::steady_clock::now() - start;
    if (alarm(0) != 0)
        close(ends[1]);
    signal(SIGALRM, SIG_DFL);
    fclose(input);
    EXPECT_EQ("\nError reading input file (line 2)", m.console);
    EXPECT_LT(waited, std::chrono::milliseconds(500));
}

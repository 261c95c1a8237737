// Benchmark: times whole romweave runs against `cat` on the same input, and
// reports peak resident memory against the image size. Inputs come from a
// fixed seed, so every run measures the same bytes.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <cstring>

#include <fcntl.h>
#include <csignal>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Sample {
    double seconds;
    long max_rss_kib;
    int status;
};

// Peak resident memory of the traced child's own program image, in KiB.
// ru_maxrss would also count whatever the spawning process had mapped before
// the exec, so the peak is read from /proc at the child's exit instead.
long read_peak_kib(pid_t child)
{
    std::string path = "/proc/" + std::to_string(child) + "/status";
    FILE *status = fopen(path.c_str(), "r");
    long kib = -1;
    char line[256];
    while (status != nullptr && fgets(line, sizeof line, status) != nullptr)
        if (strncmp(line, "VmHWM:", 6) == 0)
            kib = atol(line + 6);
    if (status != nullptr)
        fclose(status);
    return kib;
}

// Runs argv with standard output to /dev/null; whole-process wall time, and
// the peak memory taken when the child stops on its way out. Untraced (no
// peak memory) for wine, whose launcher execs several programs in turn.
Sample run_process(const std::vector<std::string> &args, bool traced = true)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        if (traced)
            ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    long peak_kib = -1;
    if (!traced) {
        waitpid(child, &status, 0);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return {seconds, peak_kib, WIFEXITED(status) ? WEXITSTATUS(status) : 128};
    }
    waitpid(child, &status, 0); // stopped at the exec
    ptrace(PTRACE_SETOPTIONS, child, nullptr, reinterpret_cast<void *>(PTRACE_O_TRACEEXIT));
    ptrace(PTRACE_CONT, child, nullptr, nullptr);
    while (waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
        long signal = 0;
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8)))
            peak_kib = read_peak_kib(child);
        else
            signal = WSTOPSIG(status);
        ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void *>(signal));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {seconds, peak_kib, WIFEXITED(status) ? WEXITSTATUS(status) : 128};
}

struct Stats {
    double median, low, high;
    long max_rss_kib;
};

Stats summarise(std::vector<Sample> samples)
{
    std::sort(samples.begin(), samples.end(),
              [](const Sample &a, const Sample &b) { return a.seconds < b.seconds; });
    long rss = 0;
    for (const Sample &s : samples)
        rss = std::max(rss, s.max_rss_kib);
    return {samples[samples.size() / 2].seconds, samples.front().seconds, samples.back().seconds, rss};
}

void write_records(const std::string &path, const std::vector<uint32_t> &addresses,
                   const std::vector<uint8_t> &data, const char *line_end)
{
    FILE *out = fopen(path.c_str(), "wb");
    if (out == nullptr) {
        perror(path.c_str());
        exit(1);
    }
    for (size_t i = 0; i < addresses.size(); i++)
        fprintf(out, "%04X: %02X%s", addresses[i], data[i], line_end);
    if (fclose(out) != 0) {
        perror(path.c_str());
        exit(1);
    }
}

double file_megabytes(const std::string &path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return static_cast<double>(st.st_size) / 1e6;
}

// Alternates the given commands round by round, so that all of them see the
// same cache and machine load; a summary for each, in the order given. The
// first one must succeed. Commands run through wine are not traced.
std::vector<Stats> race(const std::vector<std::vector<std::string>> &commands, int rounds)
{
    std::vector<std::vector<Sample>> samples(commands.size());
    run_process({"/bin/cat", commands.back().back()}); // warm the page cache
    for (int i = 0; i < rounds; i++) {
        for (size_t c = 0; c < commands.size(); c++) {
            Sample s = run_process(commands[c], commands[c][0] != "/usr/bin/wine");
            if (c == 0 && s.status != 0) {
                fprintf(stderr, "%s failed (%d)\n", commands[c][0].c_str(), s.status);
                exit(1);
            }
            samples[c].push_back(s);
        }
    }
    std::vector<Stats> stats;
    for (const std::vector<Sample> &of_one : samples)
        stats.push_back(summarise(of_one));
    return stats;
}

std::vector<std::string> with(std::vector<std::string> command, const std::vector<std::string> &more)
{
    command.insert(command.end(), more.begin(), more.end());
    return command;
}

// One line of the table: the tool against the floor reader and against cat.
void print_row(const char *name, const Stats &tool, const Stats &floor, const Stats &cat, double megabytes,
               double records, double image_mib)
{
    printf("%-24s %8.3f (%.3f-%.3f) %7.3f %6.2fx %7.3f %7.2fx %7.0f %7.2f %8.2f %9.2f\n", name, tool.median,
           tool.low, tool.high, floor.median, tool.median / floor.median, cat.median, tool.median / cat.median,
           megabytes / tool.median, records / tool.median / 1e6, tool.max_rss_kib / 1024.0, image_mib);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s ROMWEAVE FLOOR WORK_DIRECTORY ROUNDS [ROMWEAVE.EXE]\n", argv[0]);
        return 2;
    }
    const std::vector<std::string> tool = {argv[1]};
    const std::string floor_reader = argv[2];
    const std::string work = argv[3];
    const int rounds = atoi(argv[4]);
    // The Windows build, run under wine in the same run as the native tool.
    const std::vector<std::string> windows_tool = {"/usr/bin/wine", argc > 5 ? argv[5] : ""};
    const size_t stress_records = 10'000'000;

    std::mt19937_64 random(20021110);
    std::vector<uint32_t> addresses(stress_records);
    std::vector<uint8_t> data(stress_records);
    for (size_t i = 0; i < stress_records; i++) {
        uint64_t r = random();
        addresses[i] = static_cast<uint32_t>(r & 0xFFFF);
        data[i] = static_cast<uint8_t>(r >> 16);
    }
    const std::string stress_lf = work + "/stress-lf.byte", stress_crlf = work + "/stress-crlf.byte";
    write_records(stress_lf, addresses, data, "\n");
    write_records(stress_crlf, addresses, data, "\r\n");

    std::vector<uint32_t> every(65536);
    for (uint32_t a = 0; a < every.size(); a++)
        every[a] = a;
    std::shuffle(every.begin(), every.end(), random);
    std::vector<uint8_t> every_data(every.begin(), every.end());
    const std::string full = work + "/full.byte";
    write_records(full, every, every_data, "\n");

    // The driver's own memory must not stand in the way of what it measures.
    std::vector<uint32_t>().swap(addresses);
    std::vector<uint8_t>().swap(data);

    const std::string few = work + "/few.byte";
    write_records(few, {0x0000, 0x1234, 0x8000, 0xFFFF}, {1, 2, 3, 4}, "\n");

    const std::string output = work + "/out.bin";
    const std::vector<std::string> maps = {"-A", "0123456789ABCDEF", "-D", "01234567"};
    printf("%-24s %-25s %7s %7s %7s %7s %7s %7s %8s %9s\n", "case", "romweave s (min-max)", "floor s",
           "ratio", "cat s", "ratio", "MB/s", "Mrec/s", "peak MiB", "image MiB");
    // Each stress file: the tool, the tool with maps, the floor, and cat.
    auto stress = [&](const char *name, const std::string &input) {
        std::vector<Stats> s = race({with(tool, {"-s", "64K", output, input}),
                                     with(tool, with(maps, {"-s", "64K", output, input})),
                                     {floor_reader, "65536", output, input}, {"/bin/cat", input}},
                                    rounds);
        print_row(name, s[0], s[2], s[3], file_megabytes(input), stress_records, 0.0625);
        print_row((std::string(name) + ", -A -D").c_str(), s[1], s[2], s[3], file_megabytes(input),
                  stress_records, 0.0625);
        return s;
    };
    std::vector<Stats> lf = stress("10M records, LF", stress_lf);
    std::vector<Stats> crlf = stress("10M records, CR LF", stress_crlf);
    auto small_race = [&](const char *name, const std::string &size, const std::string &input, double records,
                          double image_mib, int times) {
        std::vector<Stats> s = race({with(tool, {"-s", size, output, input}),
                                     {floor_reader, std::to_string(static_cast<long>(image_mib * 1048576)), output, input},
                                     {"/bin/cat", input}},
                                    times);
        print_row(name, s[0], s[1], s[2], file_megabytes(input), records, image_mib);
        return s;
    };
    std::vector<Stats> whole = small_race("64K records, full", "64K", full, 65536, 0.0625, rounds);
    small_race("4 records, 64K image", "64K", few, 4, 0.0625, rounds);
    std::vector<Stats> large = small_race("4 records, 1G image", "1024M", few, 4, 1024, std::max(3, rounds / 2));
    if (argc > 5) {
        std::vector<Stats> wine_lf = race({with(windows_tool, {"-s", "64K", output, stress_lf}),
                                           {floor_reader, "65536", output, stress_lf}, {"/bin/cat", stress_lf}},
                                          rounds);
        print_row("10M LF, .exe on wine", wine_lf[0], wine_lf[1], wine_lf[2], file_megabytes(stress_lf),
                  stress_records, 0.0625);
        std::vector<Stats> wine_few = race({with(windows_tool, {"-s", "64K", output, few}),
                                            {floor_reader, "65536", output, few}, {"/bin/cat", few}},
                                           rounds);
        print_row("4 records, .exe on wine", wine_few[0], wine_few[1], wine_few[2], file_megabytes(few), 4,
                  0.0625);
        printf("(.exe rows: wall time of wine and the program, without peak memory)\n");
    }
    remove(output.c_str());

    printf("\ntargets:\n");
    bool all_met = true;
    auto check = [&all_met](const char *what, double value, double limit, const char *unit) {
        bool met = value <= limit;
        all_met = all_met && met;
        printf("  %-44s %8.2f%s (limit %.2f%s) %s\n", what, value, unit, limit, unit, met ? "met" : "MISSED");
    };
    check("10M LF records vs the floor", lf[0].median / lf[2].median, 1.10, "x");
    check("10M CR LF records vs the floor", crlf[0].median / crlf[2].median, 1.10, "x");
    check("10M LF records, -A -D vs without", lf[1].median / lf[0].median, 1.05, "x");
    check("10M CR LF records, -A -D vs without", crlf[1].median / crlf[0].median, 1.05, "x");
    check("10M LF records vs cat", lf[0].median / lf[3].median, 8.0, "x");
    check("full 64K-record image vs cat", whole[0].median / whole[2].median, 2.5, "x");
    for (const auto &[name, stats, image_mib] :
         {std::tuple{"peak over image, 10M LF records", lf[0], 0.0625},
          std::tuple{"peak over image, 10M CR LF records", crlf[0], 0.0625},
          std::tuple{"peak over image, 10M LF records, -A -D", lf[1], 0.0625},
          std::tuple{"peak over image, 64K records", whole[0], 0.0625},
          std::tuple{"peak over image, 1 GiB image", large[0], 1024.0}})
        check(name, stats.max_rss_kib / 1024.0 - image_mib, 2.0, " MiB");
    return all_met ? 0 : 1;
}

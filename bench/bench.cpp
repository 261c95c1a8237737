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
#include <sys/mman.h>
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

// Alternates the tool and cat on one file, so that both see the same cache
// and machine load; returns {tool, cat}.
std::pair<Stats, Stats> race_against_cat(const std::vector<std::string> &tool, const std::vector<std::string> &options,
                                         const std::string &input, const std::string &output, int rounds)
{
    std::vector<std::string> tool_args = tool;
    tool_args.insert(tool_args.end(), options.begin(), options.end());
    tool_args.push_back(output);
    tool_args.push_back(input);
    std::vector<Sample> tool_samples, cat_samples;
    run_process({"/bin/cat", input}); // warm the page cache
    for (int i = 0; i < rounds; i++) {
        Sample s = run_process(tool_args, tool.size() == 1);
        if (s.status != 0) {
            fprintf(stderr, "romweave failed (%d) on %s\n", s.status, input.c_str());
            exit(1);
        }
        tool_samples.push_back(s);
        cat_samples.push_back(run_process({"/bin/cat", input}));
    }
    return {summarise(tool_samples), summarise(cat_samples)};
}

void print_row(const char *name, const Stats &tool, const Stats &cat, double megabytes, double records,
               double image_mib)
{
    printf("%-22s %8.3f (%.3f-%.3f) %8.3f %7.2fx %8.0f %8.2f %9.2f %9.2f\n", name, tool.median, tool.low,
           tool.high, cat.median, tool.median / cat.median, megabytes / tool.median,
           records / tool.median / 1e6, tool.max_rss_kib / 1024.0, image_mib);
}

// First touch of a fresh 1 GiB buffer, as the tool fills its image, with
// and without asking for huge pages; in a child so the memory is new.
double time_fill(size_t size, bool huge_pages)
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        auto start = std::chrono::steady_clock::now();
        unsigned char *buffer = static_cast<unsigned char *>(malloc(size));
        if (huge_pages) {
            uintptr_t begin = (reinterpret_cast<uintptr_t>(buffer) + 4095) & ~uintptr_t{4095};
            uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + size) & ~uintptr_t{4095};
            madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
        }
        memset(buffer, 0xFF, size);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ssize_t ignored = write(pipe_ends[1], &seconds, sizeof seconds);
        (void)ignored;
        _exit(buffer[size - 1] == 0xFF ? 0 : 1);
    }
    double seconds = -1;
    if (read(pipe_ends[0], &seconds, sizeof seconds) != sizeof seconds)
        seconds = -1;
    waitpid(child, nullptr, 0);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    return seconds;
}

double median_fill(size_t size, bool huge_pages, int rounds)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; i++)
        times.push_back(time_fill(size, huge_pages));
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s ROMWEAVE WORK_DIRECTORY [ROUNDS [ROMWEAVE.EXE]]\n", argv[0]);
        return 2;
    }
    const std::vector<std::string> tool = {argv[1]};
    const std::string work = argv[2];
    const int rounds = argc > 3 ? atoi(argv[3]) : 7;
    // The Windows build, run under wine in the same run as the native tool.
    const std::vector<std::string> windows_tool = {"/usr/bin/wine", argc > 4 ? argv[4] : ""};
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
    printf("%-22s %-25s %8s %8s %8s %8s %9s %9s\n", "case", "romweave s (min-max)", "cat s", "ratio",
           "MB/s", "Mrec/s", "peak MiB", "image MiB");
    auto lf = race_against_cat(tool, {"-s", "64K"}, stress_lf, output, rounds);
    print_row("10M records, LF", lf.first, lf.second, file_megabytes(stress_lf), stress_records, 0.0625);
    auto crlf = race_against_cat(tool, {"-s", "64K"}, stress_crlf, output, rounds);
    print_row("10M records, CR LF", crlf.first, crlf.second, file_megabytes(stress_crlf), stress_records,
              0.0625);
    auto whole = race_against_cat(tool, {"-s", "64K"}, full, output, rounds);
    print_row("64K records, full", whole.first, whole.second, file_megabytes(full), 65536, 0.0625);
    auto small = race_against_cat(tool, {"-s", "64K"}, few, output, rounds);
    print_row("4 records, 64K image", small.first, small.second, file_megabytes(few), 4, 0.0625);
    auto large = race_against_cat(tool, {"-s", "1024M"}, few, output, std::max(3, rounds / 2));
    print_row("4 records, 1G image", large.first, large.second, file_megabytes(few), 4, 1024);
    if (argc > 4) {
        auto wine_lf = race_against_cat(windows_tool, {"-s", "64K"}, stress_lf, output, rounds);
        print_row("10M LF, .exe on wine", wine_lf.first, wine_lf.second, file_megabytes(stress_lf),
                  stress_records, 0.0625);
        auto wine_few = race_against_cat(windows_tool, {"-s", "64K"}, few, output, rounds);
        print_row("4 records, .exe on wine", wine_few.first, wine_few.second, file_megabytes(few), 4, 0.0625);
        printf("(.exe rows: wall time of wine and the program, without peak memory)\n");
    }
    remove(output.c_str());

    const double gib = 1024.0 * 1024 * 1024;
    double small_pages = median_fill(static_cast<size_t>(gib), false, 5);
    double huge_pages = median_fill(static_cast<size_t>(gib), true, 5);
    printf("\nfirst fill of a 1 GiB image: %.3f s with 4 KiB pages, %.3f s with huge pages (%.1fx)\n",
           small_pages, huge_pages, small_pages / huge_pages);

    printf("\ntargets:\n");
    bool all_met = true;
    auto check = [&all_met](const char *what, double value, double limit, const char *unit) {
        bool met = value <= limit;
        all_met = all_met && met;
        printf("  %-44s %8.2f%s (limit %.2f%s) %s\n", what, value, unit, limit, unit, met ? "met" : "MISSED");
    };
    check("10M LF records vs cat", lf.first.median / lf.second.median, 8.0, "x");
    check("full 64K-record image vs cat", whole.first.median / whole.second.median, 2.5, "x");
    for (const auto &[name, stats, image_mib] :
         {std::tuple{"peak over image, 10M LF records", lf.first, 0.0625},
          std::tuple{"peak over image, 10M CR LF records", crlf.first, 0.0625},
          std::tuple{"peak over image, 64K records", whole.first, 0.0625},
          std::tuple{"peak over image, 1 GiB image", large.first, 1024.0}})
        check(name, stats.max_rss_kib / 1024.0 - image_mib, 4.0, " MiB");
    return all_met ? 0 : 1;
}

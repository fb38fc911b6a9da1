// The voskarelle command against hivexsh on a 16 MiB hive with 10,000 values
// in MountedDevices: wall time and peak memory of whole processes, each run
// on a fresh copy of the hive. Prints figures; asserts nothing.
#include "mounttable/identity.h"
#include "support/hivex_registry.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Figure {
    double seconds;
    long peakKiB;
};

// posix_spawn rather than fork, so that the child's peak RSS is its own and
// not this process's copied at the fork.
Figure RunProcess(const std::vector<std::string>& args)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        return {0, 0};
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    clock_gettime(CLOCK_MONOTONIC, &end);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "%s exited with %d\n", args[0].c_str(), WEXITSTATUS(status));
    return {double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9, usage.ru_maxrss};
}

// What hivexsh would do if its setval took more than 1000 values: open for
// writing, store the key's whole edited list, commit.
int LibhivexEdit(const char* file)
{
    hive_h* h = hivex_open(file, HIVEX_OPEN_WRITE);
    if (h == nullptr)
        return 1;
    hive_node_h node = hivex_node_get_child(h, hivex_root(h), "MountedDevices");
    hive_value_h* values = hivex_node_values(h, node);
    std::vector<hive_set_value> set;
    for (std::size_t i = 0; values[i] != 0; ++i) {
        hive_set_value value{};
        value.key = hivex_value_key(h, values[i]);
        value.value = hivex_value_value(h, values[i], &value.t, &value.len);
        if (std::string(value.key) == "\\DosDevices\\D:") {
            std::free(value.key);
            value.key = strdup("\\DosDevices\\Z:");
        }
        set.push_back(value);
    }
    std::free(values);
    int rc = hivex_node_set_values(h, node, set.size(), set.data(), 0) == 0 && hivex_commit(h, nullptr, 0) == 0 ? 0 : 1;
    for (hive_set_value& value : set) {
        std::free(value.key);
        std::free(value.value);
    }
    hivex_close(h);
    return rc;
}

std::vector<std::uint8_t> Identity(int i)
{
    return MbrIdentity(0x5CBE0000u + static_cast<std::uint32_t>(i), 0x100000ull * (1 + i % 7));
}

Figure Median(std::vector<Figure> runs)
{
    std::sort(runs.begin(), runs.end(), [](auto& a, auto& b) { return a.seconds < b.seconds; });
    Figure median = runs[runs.size() / 2];
    for (const Figure& run : runs)
        median.peakKiB = std::max(median.peakKiB, run.peakKiB);
    return median;
}

constexpr std::size_t kValues = 10000;

// 10,000 values in MountedDevices (25 letters, the rest volume names), and
// filler elsewhere up to about 16 MiB.
int MakeHive(const char* file)
{
    ValueList table;
    for (std::size_t i = 0; i < kValues; ++i) {
        std::string name = i < 25 ? "\\DosDevices\\" + std::string(1, char('A' + i)) + ":"
                                  : "\\??\\Volume{" + std::to_string(100000000 + i) + "-0000-0000-0000-000000000000}";
        table.push_back({name, kRegBinary, Identity(i)});
    }
    ValueList filler;
    for (int i = 0; i < 98; ++i)
        filler.push_back({"blob" + std::to_string(i), kRegBinary, std::vector<std::uint8_t>(150000, std::uint8_t(i))});
    if (!MakeHiveFile(file, {{"MountedDevices", table},
                                       {"Select", {{"Current", 4, {1, 0, 0, 0}}}},
                                       {"ControlSet001\\Filler", filler}})) {
        std::fprintf(stderr, "cannot make the hive\n");
        return 1;
    }
    return 0;

}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--libhivex-edit")
        return LibhivexEdit(argv[2]);
    if (argc == 3 && std::string(argv[1]) == "--make")
        return MakeHive(argv[2]);
    fs::path dir = fs::temp_directory_path() / ("vosk-cli-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path master = dir / "master";
    fs::path hive = dir / "SYSTEM";
    fs::path disk = dir / "empty.img";
    std::ofstream(disk).put('\0');

    // Made by a child process: the kernel counts a process's peak memory from
    // before its exec too, so this one stays small while the others run.
    if (RunProcess({argv[0], "--make", master.string()}).seconds == 0 || !fs::exists(master))
        return 1;
    std::uintmax_t size = fs::file_size(master);
    const std::size_t values = kValues;

    // hivexsh's setval replaces a key's whole list and takes at most 1000
    // values, so it cannot make this edit on MountedDevices; it stores one
    // value in a small key of the same file instead, which still opens and
    // writes the whole 16 MiB: the floor of any hivexsh edit of this hive.
    fs::path script = dir / "edit.hivexsh";
    std::ofstream(script) << "cd Select\nsetval 1\nCurrent\ndword:00000002\ncommit\n";
    const int kRuns = 7;
    std::vector<Figure> show, set, setNoBackup, hivexsh, libhivex;
    for (int run = 0; run < kRuns; ++run) {
        fs::copy_file(master, hive, fs::copy_options::overwrite_existing);
        show.push_back(RunProcess({VOSK_CLI_PATH, "show", hive.string(), "--json", "--disk", disk.string()}));
        set.push_back(RunProcess({VOSK_CLI_PATH, "set", hive.string(), "D:=Z:", "--disk", disk.string()}));
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.path().extension() == ".bak")
                fs::remove(entry.path());
        fs::copy_file(master, hive, fs::copy_options::overwrite_existing);
        setNoBackup.push_back(
            RunProcess({VOSK_CLI_PATH, "set", hive.string(), "D:=Z:", "--no-backup", "--disk", disk.string()}));
        fs::copy_file(master, hive, fs::copy_options::overwrite_existing);
        hivexsh.push_back(RunProcess({"hivexsh", "-w", "-f", script.string(), hive.string()}));
        fs::copy_file(master, hive, fs::copy_options::overwrite_existing);
        libhivex.push_back(RunProcess({argv[0], "--libhivex-edit", hive.string()}));
    }
    std::printf("hive: %.1f MiB, %zu values in MountedDevices; median of %d runs, peak RSS the largest\n",
                double(size) / (1 << 20), values, kRuns);
    auto print = [&](const char* what, const Figure& f) {
        std::printf("  %-34s %8.1f ms  peak %7.1f MiB (%.2fx the hive)\n", what, f.seconds * 1000,
                    f.peakKiB / 1024.0, f.peakKiB * 1024.0 / double(size));
    };
    Figure h = Median(hivexsh);
    print("voskarelle show --json", Median(show));
    print("voskarelle set (backup, fsyncs)", Median(set));
    print("voskarelle set --no-backup", Median(setNoBackup));
    print("hivexsh -w: setval in Select, commit", h);
    Figure l = Median(libhivex);
    print("libhivex: the same edit, commit", l);
    std::printf("  set / hivexsh %.2f, set / libhivex %.2f, set --no-backup / libhivex %.2f\n",
                Median(set).seconds / h.seconds, Median(set).seconds / l.seconds,
                Median(setNoBackup).seconds / l.seconds);
    fs::remove_all(dir);
    return 0;
}

// The real SYSTEM hive read from inside a disk image's NTFS partition
// (libntfs-3g, nothing mounted) next to the same file read from the local
// file system: the file alone through the volume layer, and a whole `show`
// process on each. Medians of repeated runs; prints figures, asserts
// nothing. Needs ntfs-3g (FUSE) once, to fill the image. Then fix --dry-run
// on the sample clone next to show on its two files copied out, and show on
// the clone as a raw image next to the clone as a qcow2 (qemu-nbd).
#include "cli/disk/commit_files.h"
#include "cli/fs/volumes.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int Shell(const std::string& command)
{
    return std::system(command.c_str());
}

double MedianMs(int runs, const std::function<bool()>& once)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        if (!once()) {
            std::fprintf(stderr, "a run failed\n");
            return -1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

bool RunQuiet(const std::vector<std::string>& args)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    bool started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return started && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ReadThrough(CommitFiles& files, const std::string& name)
{
    Volumes volumes(files, "/", 0);
    FileRef file;
    std::string error;
    std::vector<std::uint8_t> bytes;
    if (!volumes.Locate(name, &file, &error) || !file.fs->Read(file.path, &bytes, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    return !bytes.empty();
}

} // namespace

int main()
{
    fs::path dir = fs::temp_directory_path() / ("vosk-volume-bench-" + std::to_string(getpid()));
    fs::create_directories(dir / "Windows/System32/config");
    std::string local = (dir / "Windows/System32/config/SYSTEM").string();
    std::string image = (dir / "clone.img").string();
    std::string part = (dir / "ntfs.part").string();
    std::string mount = (dir / "mnt").string();
    fs::create_directories(mount);
    bool made =
        Shell("xz -dc '" VOSK_TESTDATA_DIR "/SYSTEM_2.xz' > '" + local + "'") == 0 &&
        Shell("truncate -s 64M '" + image + "' && printf 'label: gpt\\nstart=2048, size=100000\\n' | "
              "/usr/sbin/sfdisk -q '" + image + "' >/dev/null") == 0 &&
        Shell("truncate -s " + std::to_string(100000 * 512) + " '" + part + "' && /usr/sbin/mkntfs -F -Q -q '" + part +
              "' >/dev/null 2>&1") == 0 &&
        Shell("ntfs-3g '" + part + "' '" + mount + "'") == 0;
    if (made) {
        made = Shell("mkdir -p '" + mount + "/Windows/System32/config' && cp '" + local + "' '" + mount +
                     "/Windows/System32/config/SYSTEM'") == 0;
        made = Shell("umount '" + mount + "'") == 0 && made;
        made = made && Shell("dd if='" + part + "' of='" + image +
                             "' bs=1M oflag=seek_bytes seek=1048576 conv=notrunc status=none") == 0;
    }
    if (!made) {
        std::fprintf(stderr, "volume_bench: cannot make the NTFS image (needs mkntfs, ntfs-3g and FUSE)\n");
        fs::remove_all(dir);
        return 1;
    }
    std::string inside = image + "#1:/Windows/System32/config/SYSTEM";
    CommitFiles files;
    const int runs = 21;
    double readLocal = MedianMs(runs, [&] { return ReadThrough(files, local); });
    double readInside = MedianMs(runs, [&] { return ReadThrough(files, inside); });
    double showLocal = MedianMs(runs, [&] { return RunQuiet({VOSK_CLI_PATH, "show", local, "--disk", image}); });
    double showInside = MedianMs(runs, [&] { return RunQuiet({VOSK_CLI_PATH, "show", inside, "--disk", image}); });
    std::printf("SYSTEM hive of %ju bytes, median of %d runs:\n", static_cast<std::uintmax_t>(fs::file_size(local)),
                runs);
    std::printf("  read whole, local file       %8.2f ms\n", readLocal);
    std::printf("  read whole, inside the image %8.2f ms  (%.2fx)\n", readInside, readInside / readLocal);
    std::printf("  show, local file             %8.2f ms\n", showLocal);
    std::printf("  show, inside the image       %8.2f ms  (%.2fx)\n", showInside, showInside / showLocal);
    // The same image as qcow2, served by qemu-nbd.
    std::string qcow2Image = (dir / "clone.qcow2").string();
    if (Shell("qemu-img convert -O qcow2 '" + image + "' '" + qcow2Image + "'") == 0) {
        std::string inQcow2 = qcow2Image + "#1:/Windows/System32/config/SYSTEM";
        double showQcow2 = MedianMs(runs, [&] { return RunQuiet({VOSK_CLI_PATH, "show", inQcow2, "--disk", qcow2Image}); });
        std::printf("  show, inside it as qcow2     %8.2f ms  (%.2fx the raw image)\n", showQcow2, showQcow2 / showInside);
    }

    // fix --dry-run on the sample clone next to show on the same two files
    // copied out of it.
    std::string sample = (dir / "sample").string();
    std::string clone = sample + "/clone.img", backup = sample + "/backup.img";
    bool sampled =
        Shell("bash '" VOSK_SOURCE_DIR "/scripts/make-sample.sh' '" + sample + "' >/dev/null 2>&1") == 0 &&
        Shell("dd if='" + clone + "' of='" + sample + "/windows' bs=1M iflag=skip_bytes,count_bytes skip=" +
              std::to_string(165888 * 512) + " count=" + std::to_string(327680 * 512) + " status=none") == 0 &&
        Shell("ntfscat '" + sample + "/windows' /Windows/System32/config/SYSTEM > '" + sample + "/SYSTEM'") == 0 &&
        Shell("MTOOLS_SKIP_CHECK=1 mcopy -n -i '" + clone + "@@1048576' ::/EFI/Microsoft/Boot/BCD '" + sample +
              "/BCD'") == 0;
    if (!sampled) {
        std::fprintf(stderr, "volume_bench: cannot make the sample clone\n");
        fs::remove_all(dir);
        return 1;
    }
    double fix = MedianMs(runs, [&] {
        return RunQuiet({VOSK_CLI_PATH, "fix", clone, "--bus", "nvme", "--disk", backup, "--dry-run"});
    });
    double show = MedianMs(runs, [&] {
        return RunQuiet({VOSK_CLI_PATH, "show", sample + "/SYSTEM", "--bcd", sample + "/BCD", "--disk", clone, "--disk",
                         backup});
    });
    std::printf("The sample clone, median of %d runs:\n", runs);
    std::printf("  show SYSTEM --bcd BCD (local copies) %8.2f ms\n", show);
    std::printf("  fix clone.img --dry-run              %8.2f ms  (%.2fx)\n", fix, fix / show);

    std::string qcow2 = sample + "/clone.qcow2";
    if (Shell("qemu-img convert -O qcow2 '" + clone + "' '" + qcow2 + "'") != 0) {
        std::fprintf(stderr, "volume_bench: cannot convert the clone to qcow2 (needs qemu-utils)\n");
        fs::remove_all(dir);
        return 1;
    }
    auto showOn = [&](const std::string& disk) {
        return RunQuiet({VOSK_CLI_PATH, "show", disk + "#3:/Windows/System32/config/SYSTEM", "--bcd",
                         disk + "#1:/EFI/Microsoft/Boot/BCD", "--disk", disk});
    };
    double showRaw = MedianMs(runs, [&] { return showOn(clone); });
    double showQcow2 = MedianMs(runs, [&] { return showOn(qcow2); });
    double fixQcow2 = MedianMs(runs, [&] {
        return RunQuiet({VOSK_CLI_PATH, "fix", qcow2, "--bus", "nvme", "--disk", backup, "--dry-run"});
    });
    std::printf("  show inside clone.img                %8.2f ms\n", showRaw);
    std::printf("  show inside clone.qcow2              %8.2f ms  (%.2fx, +%.1f ms)\n", showQcow2, showQcow2 / showRaw,
                showQcow2 - showRaw);
    std::printf("  fix clone.qcow2 --dry-run            %8.2f ms  (%.2fx fix on clone.img, +%.1f ms)\n", fixQcow2,
                fixQcow2 / fix, fixQcow2 - fix);
    // What a VM image adds that a raw one does not, each alone.
    double check = MedianMs(runs, [&] { return RunQuiet({"/usr/bin/qemu-img", "check", "-q", qcow2}); });
    std::printf("  of which qemu-img check alone        %8.2f ms (beside qemu-nbd's start)\n", check);
    fs::remove_all(dir);
    return 0;
}

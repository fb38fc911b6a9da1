#include "cli/disk/vm_image.h"

#include "cli/disk/write_runs.h"

#include "cli/machine/child.h"
#include "cli/machine/fd.h"
#include "cli/machine/files.h"
#include "cli/machine/run_folder.h"

#include <fcntl.h>
#include <libnbd.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <linux/falloc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

extern char** environ;

struct VmImage {
    std::string path; // as real, absolute: qemu never takes it for a protocol
    std::string format;
    bool writable = false;
    nbd_handle* nbd = nullptr;
    pid_t child = -1;
    std::uint64_t size = 0;
    std::uint64_t block = 512;             // the smallest request the server takes whole
    std::uint64_t request = 4 * 1024 * 1024; // the largest this side makes
    bool zeros = false;                      // the server tells where it holds zeros
    Fd mirror;
    // Each chunk copied into the mirror. What the image holds is kept
    // beside it (empty for zeros) where a tool may write the mirror: the
    // mirror differs from that only between the tool's writes and their
    // sync. A chunk only read through the mirror keeps no second copy.
    struct Held {
        bool kept = true;
        std::vector<std::uint8_t> bytes;
    };
    std::map<std::uint64_t, Held> copied;
};

namespace {

constexpr std::uint64_t kChunk = 64 * 1024;

std::vector<std::unique_ptr<VmImage>> g_images;

struct Magic {
    const char* format;
    std::size_t at; // from the start; SIZE_MAX: the footer of a fixed VHD
    std::string_view bytes;
};

// What each format's files begin with (a fixed VHD ends with its footer).
constexpr Magic kMagics[] = {
    {"qcow2", 0, std::string_view("QFI\xfb", 4)},
    {"vmdk", 0, "KDMV"},
    {"vmdk", 0, "COWD"},
    {"vmdk", 0, "# Disk DescriptorFile"},
    {"vhdx", 0, "vhdxfile"},
    {"vpc", 0, "conectix"},
    {"vdi", 0x40, std::string_view("\x7f\x10\xda\xbe", 4)},
    {"vpc", SIZE_MAX, "conectix"},
};

std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && (text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}

std::string NbdWhy()
{
    const char* message = nbd_get_error();
    return message != nullptr ? message : std::strerror(nbd_get_errno() ? nbd_get_errno() : EIO);
}

// qemu-nbd's own words, from the memory file its standard error went to.
std::string ChildErrors(int fd)
{
    std::string text;
    char buffer[4096];
    for (off_t at = 0;;) {
        ssize_t n = pread(fd, buffer, sizeof buffer, at);
        if (n <= 0 || text.size() > 64 * 1024)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        at += n;
    }
    return OneLine(text);
}

// What qemu said of an image it could not open, as this command says it.
std::string QemuFailure(const VmImage& image, const std::string& program, std::string said)
{
    if (said.find("\"write\" lock") != std::string::npos)
        return image.path + " is in use: a running virtual machine (or another qemu program) holds it, and qemu "
                            "will not share it; shut it down first";
    // "qemu-nbd: Failed to blk_new_open '/x.qcow2': Could not open ..."
    // says what failed after the name, which the command gives itself.
    if (said.starts_with(program + ": "))
        said = said.substr(program.size() + 2);
    if (said.starts_with("Failed to blk_new_open '") || said.starts_with("Could not open '"))
        if (std::size_t end = said.find("': "); end != std::string::npos)
            said = said.substr(end + 3);
    return program + " cannot open " + image.path + " as " + image.format + ": " + said;
}

// qemu-img's own check of the image's structure, run beside qemu-nbd's
// start: a qcow2 cut short reads as zeros where its clusters are missing,
// and reading those as the disk, let alone writing, is no repair.
struct Check {
    pid_t pid = -1;
    Fd output; // its standard output and error, in memory
};

bool StartCheck(const VmImage& image, Check* check, std::string* error)
{
    check->output.Reset(memfd_create("qemu-img-check", MFD_CLOEXEC));
    std::string format = "--format=" + image.format, path = image.path;
    char* argv[] = {const_cast<char*>("qemu-img"), const_cast<char*>("check"), format.data(), const_cast<char*>("--"),
                    path.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, check->output.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, check->output.get(), 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    int spawned = check->output.get() < 0 ? errno
                                          : posix_spawnp(&check->pid, argv[0], &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned == 0)
        return true;
    check->pid = -1;
    *error = spawned == ENOENT ? "qemu-img is not installed (Debian package qemu-utils)"
                               : "cannot run qemu-img: " + std::string(std::strerror(spawned));
    return false;
}

bool FinishCheck(const VmImage& image, Check& check, std::string* error)
{
    int status = 0;
    while (waitpid(check.pid, &status, 0) < 0) {
        if (errno != EINTR) {
            *error = "cannot wait for qemu-img: " + std::string(std::strerror(errno));
            return false;
        }
    }
    check.pid = -1;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // 0: consistent; 3: clusters leaked, which loses nothing; 63: a format
    // without checks.
    if (code == 0 || code == 3 || code == 63)
        return true;
    std::string said = ChildErrors(check.output.get());
    if (code == 2) {
        std::size_t errors = 0;
        for (std::size_t at = said.find("ERROR"); at != std::string::npos; at = said.find("ERROR", at + 1))
            ++errors;
        *error = image.path + " is damaged: qemu-img check finds " +
                 (errors != 0 ? std::to_string(errors) + " errors" : std::string("errors")) +
                 " in it (was it cut short?); nothing was read of it";
        return false;
    }
    *error = QemuFailure(image, "qemu-img", said);
    return false;
}

// Waits for the child to end, then asks it to, then makes it; its wait
// status, -1 when it cannot be had.
int Reap(pid_t child)
{
    if (child <= 0)
        return -1;
    // A descriptor of the child wakes the wait the moment it ends.
    Fd ends(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    for (int round = 0; round < 3; ++round) {
        for (int tick = 0; tick < 5000; ++tick) {
            int status = 0;
            pid_t done = waitpid(child, &status, WNOHANG);
            if (done == child)
                return status;
            if (done < 0 && errno != EINTR)
                return -1;
            if (ends.get() >= 0) {
                pollfd wait = {ends.get(), POLLIN, 0};
                poll(&wait, 1, 1);
            } else {
                usleep(1000);
            }
        }
        kill(child, round == 0 ? SIGTERM : SIGKILL);
    }
    return -1;
}

int Disconnect(VmImage& image)
{
    if (image.nbd != nullptr) {
        // qemu-nbd flushes and closes the image when its one client leaves.
        nbd_shutdown(image.nbd, 0);
        nbd_close(image.nbd);
        image.nbd = nullptr;
    }
    int status = Reap(image.child);
    image.child = -1;
    return status;
}

// Starts qemu-nbd on the image and connects to it; false with the reason.
bool Connect(VmImage& image, bool forWriting, std::string* error)
{
    // A folder of this process's own, where a socket's name fits.
    const char* temp = std::getenv("TMPDIR");
    std::string base = temp && *temp ? temp : "/tmp";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (base.size() + std::string("/voskarelle-nbd-XXXXXX/socket").size() >= sizeof address.sun_path)
        base = "/tmp";
    std::string folder = MakeRunFolder(base, "voskarelle-nbd-");
    if (folder.empty()) {
        *error = "cannot make a folder for qemu-nbd's socket: " + std::string(std::strerror(errno));
        return false;
    }
    std::string socketPath = folder + "/socket";
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    auto cleanup = [&] {
        unlink(socketPath.c_str());
        RemoveRunFolder(folder);
    };
    // Above the descriptors the child is given, so that putting them in
    // place never overwrites one with another.
    Fd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    Fd connection(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    Fd errors(memfd_create("qemu-nbd-errors", MFD_CLOEXEC));
    if (listener.get() < 0 || connection.get() < 0 || errors.get() < 0 ||
        bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener.get(), 1) != 0 ||
        connect(connection.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = "cannot make a socket for qemu-nbd: " + std::string(std::strerror(errno));
        cleanup();
        return false;
    }
    cleanup(); // the connection is made; nothing else may make one
    Fd listening(fcntl(listener.get(), F_DUPFD_CLOEXEC, 10));
    Fd errorsHigh(fcntl(errors.get(), F_DUPFD_CLOEXEC, 10));
    if (listening.get() < 0 || errorsHigh.get() < 0) {
        *error = "cannot start qemu-nbd: " + std::string(std::strerror(errno));
        return false;
    }

    std::vector<std::string> args = {"qemu-nbd", "--format=" + image.format, "--cache=writeback"};
    if (!forWriting)
        args.push_back("--read-only");
    args.push_back("--");
    args.push_back(image.path);
    std::vector<std::string> variables;
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable)
        if (!std::string_view(*variable).starts_with("LISTEN_"))
            variables.push_back(*variable);
    variables.push_back("LISTEN_FDS=1");
    variables.push_back("LISTEN_PID=" + std::string(20, ' ')); // the child's, written in the child
    std::vector<char*> argv, envp;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    char* pidText = variables.back().data() + 11;
    int listenFd = listening.get(), errorFd = errorsHigh.get();

    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) {
        *error = "cannot start qemu-nbd: " + std::string(std::strerror(errno));
        return false;
    }
    if (child == 0) {
        // Only what is safe between fork and exec. qemu-nbd ends with this
        // process, however it ends (killed, or a signal during the
        // handshake): a server left behind holds the image's lock.
        setpgid(0, 0);
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
            _exit(126);
        pid_t self = getpid();
        char digits[20];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + self % 10);
            self /= 10;
        } while (self > 0 && count < 20);
        for (int i = 0; i < count; ++i)
            pidText[i] = digits[count - 1 - i];
        pidText[count] = '\0';
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(errorFd, 2) < 0 || dup2(listenFd, 3) < 0)
            _exit(126);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(errno == ENOENT ? 127 : 126);
    }
    image.child = child;
    listening.Reset();
    listener.Reset();

    image.nbd = nbd_create();
    bool connected = image.nbd != nullptr && nbd_add_meta_context(image.nbd, LIBNBD_CONTEXT_BASE_ALLOCATION) == 0 &&
                     nbd_connect_socket(image.nbd, connection.Release()) == 0;
    if (!connected) {
        std::string why = image.nbd != nullptr ? NbdWhy() : "libnbd cannot start";
        int status = Disconnect(image);
        std::string said = ChildErrors(errorsHigh.get());
        if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 127)
            *error = "qemu-nbd is not installed (Debian package qemu-utils)";
        else if (said.empty())
            *error = "qemu-nbd cannot serve " + image.path + ": " + OneLine(why);
        else
            *error = QemuFailure(image, "qemu-nbd", said);
        return false;
    }
    std::int64_t size = nbd_get_size(image.nbd);
    std::int64_t minimum = nbd_get_block_size(image.nbd, LIBNBD_SIZE_MINIMUM);
    std::int64_t maximum = nbd_get_block_size(image.nbd, LIBNBD_SIZE_MAXIMUM);
    if (size < 0) {
        *error = "qemu-nbd does not tell the size of " + image.path + ": " + NbdWhy();
        Disconnect(image);
        return false;
    }
    image.size = static_cast<std::uint64_t>(size);
    image.block = minimum > 0 ? static_cast<std::uint64_t>(minimum) : 512;
    image.block = std::max<std::uint64_t>(image.block, 512);
    if (maximum > 0)
        image.request = std::min<std::uint64_t>(image.request, static_cast<std::uint64_t>(maximum));
    image.request -= image.request % image.block;
    image.zeros = nbd_can_meta_context(image.nbd, LIBNBD_CONTEXT_BASE_ALLOCATION) == 1;
    image.writable = forWriting;
    return true;
}

// Moves whole blocks of the image through NBD, a request at a time.
bool Transfer(VmImage& image, std::uint8_t* data, std::uint64_t size, std::uint64_t offset, bool write)
{
    while (size > 0) {
        std::uint64_t count = std::min(size, image.request);
        int rc = write ? nbd_pwrite(image.nbd, data, count, offset, 0) : nbd_pread(image.nbd, data, count, offset, 0);
        if (rc != 0) {
            errno = nbd_get_errno() ? nbd_get_errno() : EIO;
            return false;
        }
        data += count;
        size -= count;
        offset += count;
    }
    return true;
}

// Which chunks of [first, last] the image reports as all zeros.
std::vector<bool> ZeroChunks(VmImage& image, std::uint64_t first, std::uint64_t last)
{
    std::vector<bool> zero(last - first + 1, false);
    if (!image.zeros)
        return zero;
    struct Walk {
        std::uint64_t at;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> extents; // zero ones: start, end
    } walk{first * kChunk, {}};
    std::uint64_t end = std::min(image.size, (last + 1) * kChunk);
    while (walk.at < end) {
        std::uint64_t before = walk.at;
        auto callback = [](void* user, const char* context, std::uint64_t offset, std::uint32_t* entries,
                           std::size_t count, int*) -> int {
            auto& w = *static_cast<Walk*>(user);
            if (std::strcmp(context, LIBNBD_CONTEXT_BASE_ALLOCATION) != 0)
                return 0;
            for (std::size_t i = 0; i + 1 < count; i += 2) {
                if ((entries[i + 1] & LIBNBD_STATE_ZERO) != 0)
                    w.extents.push_back({offset, offset + entries[i]});
                offset += entries[i];
            }
            w.at = std::max(w.at, offset);
            return 0;
        };
        std::uint64_t count = std::min<std::uint64_t>(end - walk.at, 1ull << 30);
        if (nbd_block_status(image.nbd, count, walk.at, nbd_extent_callback{callback, &walk, nullptr}, 0) != 0 ||
            walk.at == before)
            break; // what is not known to be zeros is read
    }
    for (const auto& [from, to] : walk.extents)
        for (std::uint64_t chunk = std::max(first, (from + kChunk - 1) / kChunk); chunk <= last && chunk * kChunk < to;
             ++chunk)
            if (std::min((chunk + 1) * kChunk, image.size) <= to)
                zero[chunk - first] = true;
    return zero;
}

// VMware keeps no qemu lock but a folder beside the disk while a VM runs
// on it; reading beneath a running VM is refused as qemu's lock refuses it.
bool HeldByVmware(const VmImage& image, std::string* error)
{
    struct stat st;
    if (stat((image.path + ".lck").c_str(), &st) != 0)
        return false;
    *error = image.path + " is in use: " + image.path + ".lck says a VMware virtual machine holds it; shut it down "
                                                        "first";
    return true;
}

// Why the image may not be written although qemu would serve it: a
// streamOptimized VMDK (as an OVA carries) takes a grain once only, so a
// write that failed half way could not be taken back. error gets the
// reason, and is returned.
const std::string& WhyNotWritable(const VmImage& image, std::string* error)
{
    error->clear();
    if (image.format != "vmdk")
        return *error;
    ChildResult info = RunChild({"qemu-img", "info", "--output=json", "--format=vmdk", "--", image.path}, {});
    if (!info.started || info.status != 0) {
        *error = "qemu-img cannot tell what kind of VMDK " + image.path + " is: " + OneLine(info.errors);
        return *error;
    }
    if (info.output.find("\"streamOptimized\"") != std::string::npos)
        *error = image.path + " is a streamOptimized VMDK, which qemu writes only once per grain: convert it "
                              "(qemu-img convert -O vmdk) and repair the copy";
    return *error;
}

// Whether the image still holds what the mirror copied of it, read again
// in runs of chunks.
bool StillMirrored(VmImage& image)
{
    std::vector<std::uint8_t> now;
    for (auto run = image.copied.begin(); run != image.copied.end();) {
        auto end = std::next(run);
        while (end != image.copied.end() && end->first == std::prev(end)->first + 1 &&
               (end->first - run->first + 1) * kChunk <= image.request)
            ++end;
        std::uint64_t from = run->first * kChunk;
        std::uint64_t to = std::min((std::prev(end)->first + 1) * kChunk, image.size);
        now.resize(static_cast<std::size_t>(to - from));
        if (!ReadVmImageUncached(image, now.data(), now.size(), from))
            return false;
        for (; run != end; ++run) {
            auto at = now.begin() + static_cast<std::ptrdiff_t>(run->first * kChunk - from);
            auto stop = now.begin() + static_cast<std::ptrdiff_t>(std::min((run->first + 1) * kChunk, to) - from);
            std::vector<std::uint8_t> mirrored;
            const std::vector<std::uint8_t>* held = &run->second.bytes;
            if (!run->second.kept) {
                mirrored.resize(static_cast<std::size_t>(stop - at));
                if (!ReadAllAt(image.mirror.get(), mirrored.data(), mirrored.size(),
                               static_cast<off_t>(run->first * kChunk)))
                    return false;
                held = &mirrored;
            }
            bool same = held->empty() ? std::all_of(at, stop, [](std::uint8_t b) { return b == 0; })
                                      : std::equal(at, stop, held->begin(), held->end());
            if (!same)
                return false;
        }
    }
    return true;
}

} // namespace

std::string VmImageFormat(int fd)
{
    char head[0x48];
    ssize_t n = pread(fd, head, sizeof head, 0);
    std::string_view start(head, n > 0 ? static_cast<std::size_t>(n) : 0);
    struct stat st;
    char foot[8];
    bool footer = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 1024 &&
                  pread(fd, foot, sizeof foot, st.st_size - 512) == static_cast<ssize_t>(sizeof foot);
    for (const Magic& magic : kMagics) {
        if (magic.at == SIZE_MAX) {
            if (footer && std::string_view(foot, sizeof foot) == magic.bytes)
                return magic.format;
        } else if (start.size() >= magic.at + magic.bytes.size() && start.substr(magic.at, magic.bytes.size()) == magic.bytes) {
            // qcow version 1 is another format, which qemu reads but which
            // no hypervisor makes today.
            if (std::string_view(magic.format) == "qcow2" && start.size() >= 8 && head[7] == 1)
                return "qcow";
            return magic.format;
        }
    }
    return "";
}

VmImage* OpenVmImage(const std::string& path, bool forWriting, std::string* error)
{
    for (auto& open : g_images) {
        if (!SameFile(open->path, path))
            continue;
        if (!forWriting || open->writable)
            return open.get();
        // Opened again for writing. Between the two, while neither held
        // qemu's lock, another program may have written the image: what
        // the mirror holds is read again and must not have changed.
        std::uint64_t size = open->size;
        Disconnect(*open);
        if (HeldByVmware(*open, error) || !WhyNotWritable(*open, error).empty() || !Connect(*open, true, error))
            return nullptr;
        if (open->size != size || !StillMirrored(*open)) {
            *error = open->path + " changed while it was being read (is a virtual machine starting on it?); "
                                  "nothing was written";
            Disconnect(*open);
            return nullptr;
        }
        return open.get();
    }
    auto image = std::make_unique<VmImage>();
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    image->path = real;
    std::free(real);
    {
        Fd fd(OpenNoWait(image->path.c_str(), O_RDONLY));
        if (fd.get() < 0) {
            *error = "cannot open " + path + ": " + std::strerror(errno);
            return nullptr;
        }
        image->format = VmImageFormat(fd.get());
    }
    if (image->format.empty()) {
        *error = path + " is no VM image";
        return nullptr;
    }
    if (HeldByVmware(*image, error) || (forWriting && !WhyNotWritable(*image, error).empty()))
        return nullptr;
    // Read-only, the check and qemu-nbd share the image; for writing,
    // qemu-nbd takes it whole, so the check comes first.
    Check check;
    if (!StartCheck(*image, &check, error) || (forWriting && !FinishCheck(*image, check, error)))
        return nullptr;
    if (!Connect(*image, forWriting, error)) {
        if (check.pid > 0) {
            // Its words tell more than qemu-nbd's of a damaged image.
            std::string why;
            if (!FinishCheck(*image, check, &why))
                *error = why;
        }
        return nullptr;
    }
    if (check.pid > 0 && !FinishCheck(*image, check, error)) {
        Disconnect(*image);
        return nullptr;
    }
    image->mirror.Reset(memfd_create("voskarelle-mirror", MFD_CLOEXEC));
    if (image->mirror.get() < 0 || ftruncate(image->mirror.get(), static_cast<off_t>(image->size)) != 0) {
        *error = "cannot make a memory file for " + path + ": " + std::strerror(errno);
        Disconnect(*image);
        return nullptr;
    }
    if (g_images.empty())
        std::atexit(CloseVmImages);
    g_images.push_back(std::move(image));
    return g_images.back().get();
}

void CloseVmImages()
{
    for (auto& image : g_images)
        Disconnect(*image);
    g_images.clear();
}

std::uint64_t VmImageSize(const VmImage& image)
{
    return image.size;
}

bool ReadVmImageUncached(VmImage& image, void* data, std::size_t size, std::uint64_t offset)
{
    if (image.nbd == nullptr || offset > image.size || size > image.size - offset) {
        errno = image.nbd == nullptr ? EBADF : EIO;
        return false;
    }
    std::uint64_t from = offset - offset % image.block;
    std::uint64_t to = std::min(image.size, (offset + size + image.block - 1) / image.block * image.block);
    if (from == offset && to == offset + size)
        return Transfer(image, static_cast<std::uint8_t*>(data), size, offset, false);
    std::vector<std::uint8_t> whole(to - from);
    if (!Transfer(image, whole.data(), whole.size(), from, false))
        return false;
    std::memcpy(data, whole.data() + (offset - from), size);
    return true;
}

bool WriteVmImage(VmImage& image, const void* data, std::size_t size, std::uint64_t offset)
{
    if (image.nbd == nullptr || !image.writable || offset > image.size || size > image.size - offset) {
        errno = image.nbd == nullptr ? EBADF : !image.writable ? EROFS : ENOSPC;
        return false;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint64_t from = offset - offset % image.block;
    std::uint64_t to = std::min(image.size, (offset + size + image.block - 1) / image.block * image.block);
    bool written;
    if (from == offset && to == offset + size) {
        written = Transfer(image, const_cast<std::uint8_t*>(bytes), size, offset, true);
    } else {
        // The blocks at either end are read, changed and written whole.
        std::vector<std::uint8_t> whole(to - from);
        written = Transfer(image, whole.data(), whole.size(), from, false);
        if (written) {
            std::memcpy(whole.data() + (offset - from), bytes, size);
            written = Transfer(image, whole.data(), whole.size(), from, true);
        }
    }
    if (!written)
        return false;
    // The copies in the mirror follow, so that libblkid and mtools read
    // what is on the image.
    for (std::uint64_t chunk = offset / kChunk; size > 0 && chunk * kChunk < offset + size; ++chunk) {
        auto copy = image.copied.find(chunk);
        if (copy == image.copied.end())
            continue;
        std::uint64_t first = std::max(offset, chunk * kChunk), last = std::min(offset + size, (chunk + 1) * kChunk);
        if (copy->second.kept) {
            std::vector<std::uint8_t>& held = copy->second.bytes;
            if (held.empty())
                held.assign(std::min(kChunk, image.size - chunk * kChunk), 0);
            std::memcpy(held.data() + (first - chunk * kChunk), bytes + (first - offset), last - first);
        }
        if (!WriteAllAt(image.mirror.get(), bytes + (first - offset), last - first, static_cast<off_t>(first)))
            return false;
    }
    return true;
}

bool ImageWrites::WriteImage(VmImage& image, const void* data, std::size_t size, std::uint64_t offset)
{
    return WriteVmImage(image, data, size, offset);
}

bool ImageWrites::FlushImage(VmImage& image)
{
    return FlushVmImage(image);
}

bool FlushVmImage(VmImage& image)
{
    if (image.nbd == nullptr) {
        errno = EBADF;
        return false;
    }
    if (!image.writable)
        return true;
    if (nbd_flush(image.nbd, 0) != 0) {
        errno = nbd_get_errno() ? nbd_get_errno() : EIO;
        return false;
    }
    return true;
}

int VmImageMirror(VmImage& image)
{
    return image.mirror.get();
}

std::string VmImageMirrorPath(VmImage& image)
{
    return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(image.mirror.get());
}

namespace {

// Copies what the mirror lacks of the range; keep: what the image holds is
// kept beside it, for a tool that will write the mirror.
bool Copy(VmImage& image, std::uint64_t offset, std::uint64_t length, bool keep, std::string* error)
{
    if (offset >= image.size || length == 0)
        return true;
    length = std::min(length, image.size - offset);
    std::uint64_t first = offset / kChunk, last = (offset + length - 1) / kChunk;
    // Asking where the zeros are costs a round trip of its own: worth it
    // only over a range larger than one read.
    std::vector<bool> zero(last - first + 1, false);
    if ((last - first + 1) * kChunk > image.request)
        zero = ZeroChunks(image, first, last);
    for (std::uint64_t chunk = first; chunk <= last;) {
        if (auto held = image.copied.find(chunk); held != image.copied.end()) {
            // Read before: the mirror holds what the image does.
            if (keep && !held->second.kept) {
                std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min(kChunk, image.size - chunk * kChunk)));
                if (!ReadAllAt(image.mirror.get(), bytes.data(), bytes.size(), static_cast<off_t>(chunk * kChunk))) {
                    *error = "cannot read the memory copy of " + image.path + ": " + std::strerror(errno);
                    return false;
                }
                held->second = {true, std::move(bytes)};
            }
            ++chunk;
            continue;
        }
        if (zero[chunk - first]) {
            // Whatever an earlier failed copy left there goes.
            std::uint64_t from = chunk * kChunk;
            if (fallocate(image.mirror.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                          static_cast<off_t>(std::min(kChunk, image.size - from))) != 0) {
                *error = "cannot clear the memory copy of " + image.path + ": " + std::strerror(errno);
                return false;
            }
            image.copied.emplace(chunk++, VmImage::Held{});
            continue;
        }
        // The run of chunks still to copy, read in one request.
        std::uint64_t end = chunk + 1;
        while (end <= last && (end - chunk) * kChunk < image.request && image.copied.count(end) == 0 &&
               !zero[end - first])
            ++end;
        std::uint64_t from = chunk * kChunk, to = std::min(end * kChunk, image.size);
        std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[to - from]); // filled by the read
        if (!ReadVmImageUncached(image, bytes.get(), to - from, from) ||
            !WriteAllAt(image.mirror.get(), bytes.get(), to - from, static_cast<off_t>(from))) {
            *error = "cannot read " + image.path + ": " + std::strerror(errno);
            return false;
        }
        for (; chunk < end; ++chunk) {
            const std::uint8_t* at = bytes.get() + (chunk * kChunk - from);
            VmImage::Held held{keep, {}};
            if (keep)
                held.bytes.assign(at, at + (std::min((chunk + 1) * kChunk, to) - chunk * kChunk));
            image.copied.emplace(chunk, std::move(held));
        }
    }
    return true;
}

} // namespace

bool MirrorVmImage(VmImage& image, std::uint64_t offset, std::uint64_t length, std::string* error)
{
    return Copy(image, offset, length, true, error);
}

bool ReadVmImage(VmImage& image, void* data, std::size_t size, std::uint64_t offset)
{
    if (image.nbd == nullptr || offset > image.size || size > image.size - offset) {
        errno = image.nbd == nullptr ? EBADF : EIO;
        return false;
    }
    std::string ignored;
    // A large read of chunks the mirror lacks (a hive's data) lands in the
    // caller's buffer and goes from there into the mirror: the same copy,
    // without a buffer of its own and a second reading of it.
    std::uint64_t first = (offset + kChunk - 1) / kChunk;
    std::uint64_t end = offset + size == image.size ? (image.size + kChunk - 1) / kChunk : (offset + size) / kChunk;
    constexpr std::uint64_t kDirect = 1024 * 1024;
    if (end > first && (end - first) * kChunk >= kDirect) {
        auto copied = image.copied.lower_bound(first);
        if (copied == image.copied.end() || copied->first >= end) {
            std::uint64_t from = first * kChunk, to = std::min(end * kChunk, image.size);
            auto* bytes = static_cast<std::uint8_t*>(data);
            if (!ReadVmImageUncached(image, bytes + (from - offset), to - from, from) ||
                !WriteAllAt(image.mirror.get(), bytes + (from - offset), to - from, static_cast<off_t>(from)))
                return false;
            for (std::uint64_t chunk = first; chunk < end; ++chunk)
                image.copied.emplace(chunk, VmImage::Held{false, {}});
            // The edges, parts of chunks, as any read.
            return (from == offset || ReadVmImage(image, bytes, from - offset, offset)) &&
                   (to == offset + size || ReadVmImage(image, bytes + (to - offset), offset + size - to, to));
        }
    }
    return Copy(image, offset, size, false, &ignored) &&
           ReadAllAt(image.mirror.get(), data, size, static_cast<off_t>(offset));
}

bool MirrorVmImageEdges(VmImage& image, std::string* error)
{
    constexpr std::uint64_t kEdge = 256 * 1024;
    return MirrorVmImage(image, 0, kEdge, error) &&
           MirrorVmImage(image, image.size - std::min(kEdge, image.size), kEdge, error);
}

bool SyncVmImageMirror(VmImage& image, std::uint64_t offset, std::uint64_t length, ImageWrites& files, bool* torn,
                       std::string* error)
{
    *torn = false;
    if (offset >= image.size || length == 0)
        return true;
    length = std::min(length, image.size - offset);
    std::vector<WriteRun> runs;
    std::vector<std::uint8_t> now(kChunk);
    // Only what was copied was ever given to a tool.
    for (auto copy = image.copied.lower_bound(offset / kChunk);
         copy != image.copied.end() && copy->first * kChunk < offset + length; ++copy) {
        std::uint64_t chunk = copy->first;
        if (!copy->second.kept)
            continue;
        std::size_t size = static_cast<std::size_t>(std::min(kChunk, image.size - chunk * kChunk));
        if (!ReadAllAt(image.mirror.get(), now.data(), size, static_cast<off_t>(chunk * kChunk))) {
            *error = "cannot read the memory copy of " + image.path + ": " + std::strerror(errno);
            return false;
        }
        const std::vector<std::uint8_t>& was = copy->second.bytes;
        for (std::size_t at = 0; at < size; at += static_cast<std::size_t>(image.block)) {
            std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(image.block), size - at);
            bool same = was.empty() ? std::all_of(now.begin() + at, now.begin() + at + n, [](auto b) { return b == 0; })
                                    : std::memcmp(was.data() + at, now.data() + at, n) == 0;
            if (same)
                continue;
            std::uint64_t where = chunk * kChunk + at;
            if (runs.empty() || runs.back().offset + runs.back().after.size() != where)
                runs.push_back({where, {}, {}});
            WriteRun &run = runs.back();
            run.after.insert(run.after.end(), now.begin() + at, now.begin() + at + n);
            if (was.empty())
                run.before.insert(run.before.end(), n, 0);
            else
                run.before.insert(run.before.end(), was.begin() + at, was.begin() + at + n);
        }
    }
    if (runs.empty())
        return true;
    if (!image.writable) {
        // Nothing reached the image: the mirror is put back as it is.
        bool restored = true;
        for (const WriteRun &run : runs)
            restored = WriteAllAt(image.mirror.get(), run.before.data(), run.before.size(),
                                  static_cast<off_t>(run.offset)) &&
                       restored;
        *error = image.path + " was opened read-only; nothing was written to it";
        return false;
    }
    RunTarget target{
        .readBefore = {},
        .write =
            [&](const WriteRun &run, std::span<const std::uint8_t> bytes) {
                return files.WriteImage(image, bytes.data(), bytes.size(), run.offset);
            },
        .flush = [&] { return files.FlushImage(image); },
    };
    if (WriteRuns(runs, target, torn))
        return true;
    int why = errno;
    bool restored = !*torn;
    // The mirror as the image is again (or as it was, where that failed).
    for (const WriteRun &run : runs)
        restored = WriteAllAt(image.mirror.get(), run.before.data(), run.before.size(), static_cast<off_t>(run.offset)) &&
                   restored;
    *torn = !restored;
    *error = "cannot write " + image.path + ": " + std::strerror(why) +
             (restored ? "; what was written was taken back" : "; what was written could not all be taken back");
    errno = why;
    return false;
}

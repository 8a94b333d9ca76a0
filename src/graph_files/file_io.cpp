#include "graph_files/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "common/cancel.h"
#include "common/error.h"

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#endif

namespace fwprune {
namespace {

#if defined(_WIN32)
int openForReading(const char* path) {
    return ::_open(path, _O_RDONLY | _O_BINARY);
}
long long readSome(int fd, char* data, std::size_t size) {
    return ::_read(fd, data, static_cast<unsigned>(size > (1u << 30) ? (1u << 30) : size));
}
int createExclusive(const char* path, bool /*privateMode*/) {
    return ::_open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long long writeSome(int fd, const char* data, std::size_t size) {
    return ::_write(fd, data, static_cast<unsigned>(size > (1u << 30) ? (1u << 30) : size));
}
int closeFile(int fd) {
    return ::_close(fd);
}
int removeFile(const char* path) {
    return ::_unlink(path);
}
bool replaceFile(const char* from, const char* to) {
    return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
bool linkFile(const char* existing, const char* name) {
    return ::CreateHardLinkA(name, existing, nullptr) != 0;
}
int processId() {
    return ::_getpid();
}
bool isSeparator(char c) {
    return c == '/' || c == '\\';
}
#else
int openForReading(const char* path) {
    return ::open(path, O_RDONLY | O_CLOEXEC);
}
long long readSome(int fd, char* data, std::size_t size) {
    return ::read(fd, data, size > (std::size_t{1} << 30) ? (std::size_t{1} << 30) : size);
}
int createExclusive(const char* path, bool privateMode) {
    // A new target gets 0666 less the umask (and the folder's default ACL), as any new file
    // does; a replacement starts private and takes the old file's mode before any byte lands.
    return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, privateMode ? 0600 : 0666);
}
long long writeSome(int fd, const char* data, std::size_t size) {
    return ::write(fd, data, size > (std::size_t{1} << 30) ? (std::size_t{1} << 30) : size);
}
int closeFile(int fd) {
    return ::close(fd);
}
int removeFile(const char* path) {
    return ::unlink(path);
}
bool replaceFile(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}
bool linkFile(const char* existing, const char* name) {
    return ::link(existing, name) == 0;
}
int processId() {
    return static_cast<int>(::getpid());
}
bool isSeparator(char c) {
    return c == '/';
}
#endif

// "dir/" of "dir/name", "" of "name".
std::string folderOf(const std::string& path) {
    const auto last = std::find_if(path.rbegin(), path.rend(), isSeparator);
    return std::string(path.begin(), last.base());
}

// ".fwprune-" and six random letters or digits: short, so that any name that fits the folder
// leaves room for it, and unpredictable, since the folder may be shared.
std::string temporaryNameIn(const std::string& folder) {
    static std::atomic<std::uint64_t> counter{0};
    static const std::uint64_t seed = [] {
        std::uint64_t value =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        try {
            std::random_device device;
            value ^= (std::uint64_t{device()} << 32) ^ device();
        } catch (...) {
        }
        return value;
    }();
    // splitmix64 of the seed, the process and a counter (a forked child shares the first).
    std::uint64_t x = seed ^ (std::uint64_t(processId()) << 40);
    x += 0x9E3779B97F4A7C15ull * (counter.fetch_add(1) + 1);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = folder + ".fwprune-";
    for (int i = 0; i < 6; ++i, x /= 62) name += alphabet[x % 62];
    return name;
}

// Temporary files in flight, for removeTemporaryFiles(). A slot's path points into the
// OutputFile's own string, which outlives the slot's registration. Slots are claimed and
// released with atomic operations only, so that a signal handler can walk them.
enum SlotState : int { kFree, kClaimed, kArmed, kRemoving, kRemoved };
struct TemporarySlot {
    std::atomic<int> state{kFree};
    const char* path = nullptr;
};
constexpr int kTemporarySlots = 256;
TemporarySlot temporarySlots[kTemporarySlots];
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler must not take a lock");

// Two-output commits between their first and last rename, and whether removeTemporaryFiles() is
// running: it waits for the first to drop to zero, and a commit that sees it running does not
// start, so that a signal that ends the process leaves both outputs new or both old.
std::atomic<int> commitsInProgress{0};
std::atomic<int> removalsInProgress{0};

// Marks a two-output commit for the time it is renaming. The termination signals are blocked on
// this thread meanwhile, so that a handler that waits for the commit never runs on the thread
// it waits for.
class CommitInProgress {
  public:
    CommitInProgress() {
#if !defined(_WIN32)
        sigset_t termination;
        sigemptyset(&termination);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&termination, signal);
        pthread_sigmask(SIG_BLOCK, &termination, &saved_);
#endif
        ++commitsInProgress;
    }
    ~CommitInProgress() {
        --commitsInProgress;
#if !defined(_WIN32)
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
#endif
    }
    CommitInProgress(const CommitInProgress&) = delete;
    CommitInProgress& operator=(const CommitInProgress&) = delete;
    // False when the temporary files are being removed: the process is ending.
    static bool mayStart() {
        return removalsInProgress.load() == 0;
    }

  private:
#if !defined(_WIN32)
    sigset_t saved_{};
#endif
};

void sleepOneMillisecond() noexcept {
#if defined(_WIN32)
    ::Sleep(1);
#else
    const timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
#endif
}

// Returns the slot, or -1 when all are taken (the file is then only removed by its owner).
int registerTemporary(const std::string& path) {
    for (int i = 0; i < kTemporarySlots; ++i) {
        int expected = kFree;
        if (temporarySlots[i].state.compare_exchange_strong(expected, kClaimed)) {
            temporarySlots[i].path = path.c_str();
            temporarySlots[i].state.store(kArmed, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

void unregisterTemporary(int& slot) noexcept {
    if (slot < 0) return;
    TemporarySlot& entry = temporarySlots[slot];
    int expected = kArmed;
    if (!entry.state.compare_exchange_strong(expected, kFree)) {
        // A handler on another thread is removing the file: one unlink() to wait for.
        while (entry.state.load() == kRemoving) {
        }
        entry.state.store(kFree);
    }
    slot = -1;
}

// Makes a new file under a fresh temporary name in folder with create(name), which returns
// whether it made one (errno telling why not). The name is registered before the file exists,
// so a signal handler that runs at any moment either removes the file or leaves that to the
// check below. Returns false, with errno set and nothing left behind, when no file was made.
template <typename Create>
bool createRegistered(const std::string& folder, std::string& path, int& slot, Create&& create) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = temporaryNameIn(folder);
        slot = registerTemporary(path);
        if (!create(path.c_str())) {
            const int error = errno;
            unregisterTemporary(slot);
            if (error == EEXIST) continue;
            errno = error;
            return false;
        }
        if (slot >= 0 && temporarySlots[slot].state.load(std::memory_order_acquire) != kArmed) {
            // A handler ran between the registration and the creation: remove what it missed.
            removeFile(path.c_str());
            unregisterTemporary(slot);
            errno = EINTR;
            return false;
        }
        return true;
    }
    errno = EEXIST;
    return false;
}

enum class TargetKind { Missing, Regular, Directory, Stream };

struct Target {
    std::string path;
    TargetKind kind;
    struct stat info;
};

#if !defined(_WIN32)
[[noreturn]] void failToOpen(const std::string& path, int error) {
    failSystem(path, "cannot open for writing", error);
}

// Whether the kernel refuses to follow a symbolic link that another user owns in a sticky,
// world-writable folder such as /tmp (fs.protected_symlinks), and would refuse it to us here.
bool kernelRefusesToFollow(const std::string& link, const struct stat& info) {
#if defined(__linux__)
    if (info.st_uid == ::geteuid()) return false;
    char setting = '0';
    const int fd = ::open("/proc/sys/fs/protected_symlinks", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool known = ::read(fd, &setting, 1) == 1;
    ::close(fd);
    if (!known || setting == '0') return false;
    struct stat folder {};
    const std::string folderPath = folderOf(link);
    if (::stat(folderPath.empty() ? "." : folderPath.c_str(), &folder) != 0) return false;
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return shared && folder.st_uid != info.st_uid;
#else
    (void)link;
    (void)info;
    return false;
#endif
}

// The file that path names once its symbolic links are followed, as the kernel follows them for
// a file that "w" would create: each link relative to its own folder, at most 40 of them, and
// none the kernel would refuse to follow for us.
std::string followLinks(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        if (kernelRefusesToFollow(current, info)) failToOpen(path, EACCES);
        std::string link(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)) + 256, '\0');
        const ssize_t length = ::readlink(current.c_str(), link.data(), link.size());
        if (length < 0 || static_cast<std::size_t>(length) >= link.size()) {
            failSystem(path, "cannot follow the symbolic link " + current, errno);
        }
        link.resize(static_cast<std::size_t>(length));
        current = !link.empty() && link.front() == '/' ? link : folderOf(current) + link;
    }
    failToOpen(path, ELOOP);
}
#endif

// What writing to path would write to. Where the target exists, the kernel follows the links
// (with every protection it applies for this process), and the file it reaches must be one "w"
// could open for writing; only a target that does not exist yet is found by following the links
// here.
Target resolveTarget(const std::string& path) {
    Target target{path, TargetKind::Missing, {}};
#if defined(_WIN32)
    if (::stat(path.c_str(), &target.info) == 0) {
        target.kind =
            (target.info.st_mode & S_IFMT) == S_IFDIR ? TargetKind::Directory : TargetKind::Regular;
    }
    return target;
#else
#if defined(O_PATH)
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) failToOpen(path, errno);
        target.path = followLinks(path);
        return target;
    }
    const int statResult = ::fstat(fd, &target.info);
    const int statError = errno;
    // The file the descriptor holds, by the name the kernel reached it by.
    std::string reached(4096, '\0');
    const ssize_t length =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), reached.data(), reached.size());
    ::close(fd);
    if (statResult != 0) failToOpen(path, statError);
    if (length > 0 && static_cast<std::size_t>(length) < reached.size() && reached[0] == '/') {
        reached.resize(static_cast<std::size_t>(length));
        // A file renamed over or removed since it was opened (another job finishing with the same
        // output) keeps its old name in /proc with " (deleted)" after it: find the name afresh.
        struct stat now {};
        if (::stat(reached.c_str(), &now) != 0 || now.st_ino != target.info.st_ino ||
            now.st_dev != target.info.st_dev) {
            reached = followLinks(path);
        }
    } else {
        reached = followLinks(path);  // no /proc: the same walk by hand
    }
#else
    const std::string reached = followLinks(path);
    if (::stat(reached.c_str(), &target.info) != 0) return {reached, TargetKind::Missing, {}};
#endif
    if (S_ISDIR(target.info.st_mode)) {
        target.kind = TargetKind::Directory;
    } else if (!S_ISREG(target.info.st_mode)) {
        // A FIFO, a device, or an open file named through /proc (whose "link" may read
        // "pipe:[1234]"): written in place, under the name given.
        target.kind = TargetKind::Stream;
    } else {
        target.kind = TargetKind::Regular;
        target.path = reached;
        // A file "w" may not open (read-only to us, on a read-only file system) is not replaced
        // behind its owner's back, although its folder would let a rename do it.
        if (::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) != 0) {
            // Gone since it was looked at: written like any target that does not exist yet.
            if (errno == ENOENT) return {target.path, TargetKind::Missing, {}};
            failToOpen(path, errno);
        }
    }
    return target;
#endif
}

[[noreturn]] void failToReplace(const std::string& path, int error) {
    failSystem(path, "cannot replace output file", error);
}

// Refuses, before anything is renamed, a target the rename would be refused: a directory, or a
// file of another user in a sticky folder (such as /tmp) that is not ours either.
void checkReplaceable(const std::string& path, const std::string& target) {
    struct stat file {};
    if (::stat(target.c_str(), &file) != 0) return;  // nothing there to replace
    if ((file.st_mode & S_IFMT) == S_IFDIR) failToReplace(path, EISDIR);
#if !defined(_WIN32)
    struct stat folder {};
    const std::string folderPath = folderOf(target);
    if (::stat(folderPath.empty() ? "." : folderPath.c_str(), &folder) != 0) return;
    const uid_t me = ::geteuid();
    if ((folder.st_mode & S_ISVTX) != 0 && me != 0 && file.st_uid != me && folder.st_uid != me) {
        failToReplace(path, EPERM);
    }
#endif
}

}  // namespace

InputFile::InputFile(const std::string& path)
    : path_(path), descriptor_(openForReading(path.c_str())) {
    if (descriptor_ < 0) failSystem(path, "cannot open for reading", errno);
    struct stat info {};
    if (::fstat(descriptor_, &info) == 0 && (info.st_mode & S_IFMT) == S_IFREG && info.st_size > 0)
        sizeHint_ = static_cast<std::size_t>(info.st_size);
}

InputFile::~InputFile() {
    closeFile(descriptor_);
}

std::size_t InputFile::readInto(char* buffer, std::size_t bytes) {
    // Fills the buffer unless the file ends first, as fread would; a pipe delivers in pieces.
    std::size_t filled = 0;
    while (filled < bytes) {
        const long long got = readSome(descriptor_, buffer + filled, bytes - filled);
        if (got == 0) break;
        if (got < 0) {
            // A signal handler ran (a host's Ctrl-C): a chance to stop, else read on.
            if (errno == EINTR) {
                checkCancelled();
                continue;
            }
            failSystem(path_, "cannot read", errno);
        }
        filled += static_cast<std::size_t>(got);
        pollCancelled();
    }
    return filled;
}

MappedInput::MappedInput(const InputFile& file) {
#if !defined(_WIN32)
    descriptor_ = file.descriptor_;
    size_ = file.sizeHint_;
#else
    static_cast<void>(file);
#endif
}

MappedInput::~MappedInput() {
    release();
}

void MappedInput::release() noexcept {
#if !defined(_WIN32)
    if (window_ != nullptr) ::munmap(window_, windowBytes_);
#endif
    window_ = nullptr;
}

std::string_view MappedInput::map(std::size_t from, std::size_t to) {
    release();
#if !defined(_WIN32)
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t start = from / page * page;
    if (size_ == 0 || to > size_ || to <= start ||
        start > static_cast<std::size_t>(std::numeric_limits<off_t>::max())) {
        return {};
    }
    void* const window =
        ::mmap(nullptr, to - start, PROT_READ, MAP_PRIVATE, descriptor_, static_cast<off_t>(start));
    if (window == MAP_FAILED) return {};
    window_ = window;
    windowBytes_ = to - start;
    return {static_cast<const char*>(window) + (from - start), to - from};
#else
    static_cast<void>(from);
    static_cast<void>(to);
    return {};
#endif
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    const Target target = resolveTarget(path_);
    target_ = target.path;
    switch (target.kind) {
        case TargetKind::Directory:
            failToReplace(path_, EISDIR);
        case TargetKind::Stream:
            inPlace_ = true;  // opened at the first write: a FIFO's open waits for its reader
            return;
        case TargetKind::Missing:
        case TargetKind::Regular:
            break;
    }
    const bool replacing = target.kind == TargetKind::Regular;
    int fd = -1;
    const bool created =
        createRegistered(folderOf(target_), temporaryPath_, registration_, [&](const char* name) {
            fd = createExclusive(name, replacing);
            return fd >= 0;
        });
    if (!created) {
        const int error = errno;
        if (fd >= 0) closeFile(fd);
        temporaryPath_.clear();
        if (!replacing) failSystem(path_, "cannot create output file", error);
        // The file itself may be writable: say that it is its folder that is not.
        const std::string folder = folderOf(target_);
        failSystem(path_,
                   "cannot replace it: its folder " + (folder.empty() ? std::string(".") : folder) +
                       " takes no new file (the result is written beside the target, then "
                       "renamed over it)",
                   error);
    }
    descriptor_ = fd;
#if !defined(_WIN32)
    if (replacing) {
        // Owner first: changing it may clear set-user-ID bits, which the mode then restores.
        // Only a privileged process may give a file away; others keep what they may.
        if (::fchown(descriptor_, target.info.st_uid, target.info.st_gid) != 0) {
            [[maybe_unused]] const int groupOnly =
                ::fchown(descriptor_, static_cast<uid_t>(-1), target.info.st_gid);
        }
        if (::fchmod(descriptor_, target.info.st_mode & 07777) != 0) {
            const int error = errno;
            discard();
            failSystem(path_, "cannot create output file", error);
        }
    }
#endif
}

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::discard() noexcept {
    if (descriptor_ >= 0) {
        closeFile(descriptor_);
        descriptor_ = -1;
    }
    if (!temporaryPath_.empty()) {
        removeFile(temporaryPath_.c_str());
        unregisterTemporary(registration_);
        temporaryPath_.clear();
    }
}

ReleaseReadersOnFailure::ReleaseReadersOnFailure(std::vector<std::string> paths)
    : paths_(std::move(paths)), exceptionsAtStart_(std::uncaught_exceptions()) {}

ReleaseReadersOnFailure::~ReleaseReadersOnFailure() {
#if !defined(_WIN32)
    if (std::uncaught_exceptions() <= exceptionsAtStart_) return;
    for (const std::string& path : paths_) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)) continue;
        // Without blocking: this succeeds only when a reader is there, which then reads the end.
        const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0) ::close(fd);
    }
#endif
}

void OutputFile::openInPlace() {
#if defined(_WIN32)
    descriptor_ = ::_open(path_.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY);
#else
    descriptor_ = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
#endif
    if (descriptor_ < 0) {
        failSystem(path_, "cannot open for writing", errno);
    }
}

void OutputFile::write(std::string_view bytes) {
    pollCancelled();
    if (inPlace_ && descriptor_ < 0) openInPlace();
    while (!bytes.empty()) {
        const long long written = writeSome(descriptor_, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            failSystem(path_, "cannot write", errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

void OutputFile::closeTemporary() {
    if (inPlace_ && descriptor_ < 0) openInPlace();  // nothing written: still truncated, as "w"
    const int fd = descriptor_;
    descriptor_ = -1;
    if (fd >= 0 && closeFile(fd) != 0) {
        const int error = errno;
        discard();
        failSystem(path_, "cannot write", error);
    }
}

void OutputFile::commit() {
    checkCancelled();
    closeTemporary();
    if (inPlace_) return;
    if (!replaceFile(temporaryPath_.c_str(), target_.c_str())) {
        const int error = errno;
        discard();
        failToReplace(path_, error);
    }
    unregisterTemporary(registration_);
    temporaryPath_.clear();
}

void commitTogether(OutputFile& first, OutputFile& second) {
    OutputFile* const outputs[] = {&first, &second};
    commitTogether(outputs, 2);
}

void commitTogether(OutputFile* const* outputs, std::size_t count) {
    checkCancelled();
    for (std::size_t k = 0; k < count; ++k) {
        if (!outputs[k]->inPlace_) checkReplaceable(outputs[k]->path_, outputs[k]->target_);
    }
    for (std::size_t k = 0; k < count; ++k) outputs[k]->closeTemporary();
    bool inPlace = false;
    for (std::size_t k = 0; k < count; ++k) inPlace |= outputs[k]->inPlace_;
    if (inPlace) {
        // A stream has had its bytes already; the other outputs commit alone.
        for (std::size_t k = 0; k < count; ++k)
            if (!outputs[k]->inPlace_) outputs[k]->commit();
        return;
    }
    // Keep every target but the last one's old content under a second name until the last rename
    // is done, so that a failure on the way can put them back.
    struct Backup {
        std::string path;
        int registration = -1;
        bool existed = false;
    };
    std::vector<Backup> backups(count > 0 ? count - 1 : 0);
    for (std::size_t k = 0; k + 1 < count; ++k) {
        struct stat old {};
        const std::string& target = outputs[k]->target_;
        backups[k].existed = ::stat(target.c_str(), &old) == 0;
        // Without hard links here, the checks above are all the protection left.
        if (backups[k].existed &&
            !createRegistered(folderOf(target), backups[k].path, backups[k].registration,
                              [&](const char* name) { return linkFile(target.c_str(), name); })) {
            backups[k].path.clear();
        }
    }
    const auto dropBackups = [&] {
        for (Backup& backup : backups) {
            unregisterTemporary(backup.registration);
            if (!backup.path.empty()) removeFile(backup.path.c_str());
        }
    };
    // Puts the targets of outputs[0 .. done) back as they were.
    const auto restore = [&](std::size_t done) {
        for (std::size_t k = 0; k < done; ++k) {
            if (!backups[k].path.empty()) {
                unregisterTemporary(backups[k].registration);
                backups[k].registration = -1;
                if (replaceFile(backups[k].path.c_str(), outputs[k]->target_.c_str()))
                    backups[k].path.clear();
            } else if (!backups[k].existed) {
                removeFile(outputs[k]->target_.c_str());
            }
        }
    };
    const CommitInProgress renaming;
    if (!CommitInProgress::mayStart()) {
        dropBackups();
        fail(Status::Cancelled, "the process is ending: no output was replaced");
    }
    try {
        outputs[0]->commit();
    } catch (...) {
        dropBackups();
        throw;
    }
    for (std::size_t k = 1; k < count; ++k) {
        OutputFile& output = *outputs[k];
        if (!replaceFile(output.temporaryPath_.c_str(), output.target_.c_str())) {
            const int error = errno;
            for (std::size_t rest = k; rest < count; ++rest) outputs[rest]->discard();
            restore(k);
            dropBackups();
            failToReplace(output.path_, error);
        }
        unregisterTemporary(output.registration_);
        output.temporaryPath_.clear();
    }
    dropBackups();
}

void removeTemporaryFiles() noexcept {
    ++removalsInProgress;
    // A rename takes far less than the bound, which only keeps a handler that a host runs on the
    // committing thread (for a signal not blocked there) from waiting on itself for ever.
    for (int waited = 0; commitsInProgress.load() > 0 && waited < 5000; ++waited) {
        sleepOneMillisecond();
    }
    for (TemporarySlot& slot : temporarySlots) {
        int expected = kArmed;
        if (slot.state.compare_exchange_strong(expected, kRemoving, std::memory_order_acquire)) {
            removeFile(slot.path);
            slot.state.store(kRemoved, std::memory_order_release);
        }
    }
    --removalsInProgress;
}

}  // namespace fwprune

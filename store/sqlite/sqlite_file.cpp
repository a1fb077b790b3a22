// A store's SQLite file: checked before SQLite opens it, made whole, locked,
// and known by its identity.
#include "store/sqlite/sqlite_file.hh"

#include "store/sqlite/sqlite_schema.hh"
#include "util/files.hh"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// The files SQLite keeps beside a store: "" is the store itself.
constexpr const char* OWN_SUFFIXES[] = {"", "-wal", "-shm", "-journal"};

// What the database header says of a file, read before SQLite opens it, so
// that a file that is not a store is refused untouched.
struct Header {
    std::array<unsigned char, 100> bytes{};
    std::size_t size = 0;

    std::uint32_t word(std::size_t offset) const
    {
        return std::uint32_t{bytes[offset]} << 24 |
               std::uint32_t{bytes[offset + 1]} << 16 |
               std::uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
    }

    bool isDatabase() const
    {
        constexpr std::string_view MAGIC{"SQLite format 3\0", 16};
        return size == bytes.size() &&
               std::equal(MAGIC.begin(), MAGIC.end(), bytes.begin());
    }

    // A first line of text that reads "id;amount...": a stock file given
    // by mistake.
    bool looksLikeStockFile() const
    {
        const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(size);
        const auto lineEnd = std::find(bytes.begin(), end, '\n');
        const bool text = std::none_of(bytes.begin(), lineEnd, [](int c) {
            return c < ' ' && c != '\t' && c != '\r';
        });
        auto amount = std::find(bytes.begin(), lineEnd, ';');
        amount += amount != lineEnd;
        while (amount != lineEnd && *amount == ' ') {
            ++amount;
        }
        return text && amount != lineEnd && *amount >= '0' && *amount <= '9';
    }

    /// Why the file is not a store this program can use, or null when its
    /// header is that of one.
    const char* refusal() const
    {
        if (size == 0) {
            return "an empty file, not a store";
        }
        if (!isDatabase()) {
            return looksLikeStockFile()
                       ? "a stock file, not a store (load it with R)"
                       : "not a store";
        }
        return sqlite_schema::refusal(word(68), word(60));
    }
};

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// The file a name would land on once made: its links followed as far as
/// they lead, then its folder resolved; empty when the folder is not there.
std::string landingOf(std::string name)
{
    // As many links as the system itself follows.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status {};
        if (::lstat(name.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            break;
        }
        std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
        const ssize_t got =
            ::readlink(name.c_str(), target.data(), target.size());
        if (got < 0 || static_cast<std::size_t>(got) >= target.size()) {
            break;
        }
        target.resize(static_cast<std::size_t>(got));
        name = target[0] == '/' ? target : folderOf(name) + '/' + target;
    }
    char* folder = ::realpath(folderOf(name).c_str(), nullptr);
    if (folder == nullptr) {
        return {};
    }
    const std::string resolved = folder;
    std::free(folder);
    const std::size_t slash = name.rfind('/');
    return resolved + '/' +
           (slash == std::string::npos ? name : name.substr(slash + 1));
}

/// The name the system knows a user or a group by, or its number.
std::string nameOf(uid_t user)
{
    passwd entry{};
    passwd* found = nullptr;
    char strings[4096];
    return ::getpwuid_r(user, &entry, strings, sizeof strings, &found) == 0 &&
                   found != nullptr
               ? found->pw_name
               : std::to_string(user);
}

std::string groupOf(gid_t group)
{
    struct group entry {};
    struct group* found = nullptr;
    char strings[4096];
    return ::getgrgid_r(group, &entry, strings, sizeof strings, &found) == 0 &&
                   found != nullptr
               ? found->gr_name
               : std::to_string(group);
}

/// "permission denied: x is maija's, group shop, mode 0644, and pekka may
/// not write it": who may do what with a file the run may not write.
std::string deniedAt(const std::string& file, const struct stat& status)
{
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o",
                  static_cast<unsigned>(status.st_mode & 07777));
    return "permission denied: " + file + " is " + nameOf(status.st_uid) +
           "'s, group " + groupOf(status.st_gid) + ", mode " + mode + ", and " +
           nameOf(::geteuid()) + " may not write it";
}

/// Why this login may not write the store at path, naming the file and its
/// permissions: the store itself, the log and its index that SQLite keeps
/// beside it, or the folder it makes them in; empty when it may.
std::string whyNotWritable(const std::string& path)
{
    bool besideMissing = false;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string file = path + suffix;
        struct stat status {};
        if (::stat(file.c_str(), &status) != 0) {
            besideMissing = true;
        } else if (::access(file.c_str(), R_OK | W_OK) != 0) {
            return deniedAt(file, status);
        }
    }
    const std::string folder = folderOf(path);
    struct stat status {};
    if (besideMissing && ::stat(folder.c_str(), &status) == 0 &&
        ::access(folder.c_str(), W_OK | X_OK) != 0) {
        return deniedAt(folder + "/", status) +
               " (the store's log is made there)";
    }
    return {};
}

// SIGALRM ticks while a run waits for the lock, so that the wait can end.
void tick(int) {}

// The byte the runs' lock covers: past SQLite's own lock bytes, which start
// at 0x40000000 and span 512 bytes, so that neither lock ever meets the
// other, whatever the size of the file.
constexpr off_t RUNS_LOCK_BYTE = 0x40000000 + 1024;

/// Sets (F_WRLCK) or lets go (F_UNLCK) of the runs' lock: an open file
/// description lock, which a login may take for writing only through a
/// descriptor open for writing. A login that may only read the store can
/// hold a flock of it as long as it likes and hold up no clerk.
int runsLock(int descriptor, short type, bool wait)
{
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = RUNS_LOCK_BYTE;
    range.l_len = 1;
    return ::fcntl(descriptor, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range);
}

}  // namespace

std::unique_ptr<StoreFile> StoreFile::open(const std::string& path,
                                           std::string& error)
{
    // Not blocking, so that a FIFO given by mistake cannot hang the start.
    constexpr int FLAGS = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    bool made = false;
    int descriptor = ::open(path.c_str(), FLAGS);
    if (descriptor < 0 && errno == ENOENT) {
        std::string image;
        if (!sqlite_schema::newStoreImage(image, error)) {
            error = "cannot create it: " + error;
            return nullptr;
        }
        made = createWholeFile(path, image, sharedFileMode(folderOf(path)));
        if (!made && errno != EEXIST) {  // one made meanwhile is used
            error = std::string("cannot create it: ") + std::strerror(errno);
            return nullptr;
        }
        descriptor = ::open(path.c_str(), FLAGS);
    }
    if (descriptor < 0) {
        const int failure = errno;
        error = failure == EISDIR   ? "a folder, not a store"
                : failure == EACCES ? whyNotWritable(path)
                                    : std::string();
        if (error.empty()) {
            error = std::strerror(failure);
        }
        return nullptr;
    }
    struct stat status {};
    Header header;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = "not a regular file";
    } else if (status.st_nlink > 1) {
        error = "the store file has " + std::to_string(status.st_nlink) +
                " names (hard links): runs on different names would not see "
                "each other's changes; keep one and remove the others";
    } else {
        const ssize_t got =
            ::pread(descriptor, header.bytes.data(), header.bytes.size(), 0);
        header.size = got > 0 ? static_cast<std::size_t>(got) : 0;
        const char* reason = got < 0 ? std::strerror(errno) : header.refusal();
        char* real = ::realpath(path.c_str(), nullptr);
        std::string resolved = real != nullptr ? real : path;
        std::free(real);
        error = reason != nullptr ? reason : whyNotWritable(resolved);
        if (error.empty()) {
            return std::unique_ptr<StoreFile>(
                new StoreFile(path, std::move(resolved), descriptor, made));
        }
    }
    ::close(descriptor);
    return nullptr;
}

StoreFile::StoreFile(std::string path, std::string resolved, int descriptor,
                     bool made)
    : path(std::move(path)), resolved(std::move(resolved)),
      descriptor(descriptor), madeAnew(made)
{
}

StoreFile::~StoreFile()
{
    ::close(descriptor);
}

bool StoreFile::lockRuns(Clock::time_point deadline, WaitNotice& notice,
                         const StopCheck& stop)
{
    if (runsLock(descriptor, F_WRLCK, false) == 0) {
        locked = true;
        return true;
    }
    if (errno != EAGAIN && errno != EACCES) {
        return false;
    }
    // Installed for good: a tick still pending once the timer is stopped
    // must find a handler. Without SA_RESTART, a tick ends the blocked call.
    static const bool installed = [] {
        struct sigaction ticking {};
        ticking.sa_handler = &tick;
        sigemptyset(&ticking.sa_mask);
        return sigaction(SIGALRM, &ticking, nullptr) == 0;
    }();
    constexpr timeval EVERY{0, 50000};
    itimerval ticks{EVERY, EVERY};
    itimerval stopped{};
    if (!installed || ::setitimer(ITIMER_REAL, &ticks, nullptr) != 0) {
        return false;
    }
    int result = 0;
    bool cancelled = false;
    while ((result = runsLock(descriptor, F_WRLCK, true)) != 0 && errno == EINTR &&
           Clock::now() < deadline && !(cancelled = stop && stop())) {
        notice.tick();
    }
    const int error = result == 0      ? 0
                      : cancelled      ? ECANCELED
                      : errno == EINTR ? ETIMEDOUT
                                       : errno;
    ::setitimer(ITIMER_REAL, &stopped, nullptr);
    errno = error;
    locked = result == 0;
    return locked;
}

void StoreFile::unlockRuns()
{
    if (locked) {
        runsLock(descriptor, F_UNLCK, false);
        locked = false;
    }
}

const char* StoreFile::whyGone() const
{
    struct stat held {};
    struct stat named {};
    if (::fstat(descriptor, &held) != 0) {
        return std::strerror(errno);
    }
    if (held.st_nlink > 1) {
        return "the store file was given another name (a hard link) during "
               "the run";
    }
    if (::stat(path.c_str(), &named) == 0) {
        return sameFile(named, held)
                   ? nullptr
                   : "another file took the store's place during the run";
    }
    return held.st_nlink == 0 ? "the store file was removed during the run"
                              : "the store file is no longer where it was";
}

bool StoreFile::owns(const std::string& candidate) const
{
    struct stat target {};
    if (::stat(candidate.c_str(), &target) == 0) {
        struct stat own {};
        if (::fstat(descriptor, &own) == 0 && sameFile(own, target)) {
            return true;
        }
        for (const char* suffix : OWN_SUFFIXES) {
            if (::stat((resolved + suffix).c_str(), &own) == 0 &&
                sameFile(own, target)) {
                return true;
            }
        }
        return false;
    }
    // A name that is not there yet may be where SQLite would put a file of
    // its own.
    const std::string landing = landingOf(candidate);
    return !landing.empty() &&
           std::any_of(std::begin(OWN_SUFFIXES), std::end(OWN_SUFFIXES),
                       [&](const char* suffix) {
                           return landing == resolved + suffix;
                       });
}

// Files that appear whole: written aside, put in place by one rename or link,
// the folder synced.
#include "util/files.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t newFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

mode_t sharedFileMode(const std::string& folder)
{
    struct stat status {};
    const bool groups =
        ::stat(folder.c_str(), &status) == 0 && (status.st_mode & S_IWGRP) != 0;
    return (newFileMode() | (groups ? S_IRGRP | S_IWGRP : 0)) & ~S_IRWXO;
}

void syncFolder(const std::string& folder)
{
    const int descriptor =
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

bool writeAll(int descriptor, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

namespace {

/// The unnamed way: a file that has no name until it is linked in. Returns
/// false with errno EOPNOTSUPP when the file system cannot make one.
bool createUnnamed(const std::string& path, const std::string& folder,
                   std::string_view bytes, mode_t mode)
{
    const int file =
        ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (file < 0) {
        if (errno == EISDIR || errno == EINVAL) {
            errno = EOPNOTSUPP;  // a system that predates unnamed files
        }
        return false;
    }
    // Set again: the umask took its bits from the ones given.
    bool made = ::fchmod(file, mode) == 0 && writeAll(file, bytes) &&
                ::fsync(file) == 0;
    if (made) {
        // Through /proc, which any user may link from, unlike AT_EMPTY_PATH.
        const std::string self = "/proc/self/fd/" + std::to_string(file);
        made = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(),
                        AT_SYMLINK_FOLLOW) == 0;
        if (!made && errno == ENOENT) {
            errno = EOPNOTSUPP;  // no /proc to link from
        }
    }
    const int error = errno;
    ::close(file);
    errno = error;
    return made;
}

}  // namespace

bool createWholeFile(const std::string& path, std::string_view bytes,
                     mode_t mode)
{
    const std::string folder = folderOf(path);
    bool made = createUnnamed(path, folder, bytes, mode);
    if (!made && errno == EOPNOTSUPP) {
        TemporaryFile temporary(folder);
        made = temporary.isOpen() && writeAll(temporary.fd(), bytes) &&
               ::fchmod(temporary.fd(), mode) == 0 &&
               ::fsync(temporary.fd()) == 0 && temporary.close() &&
               temporary.linkTo(path);
    }
    if (made) {
        syncFolder(folder);
    }
    return made;
}

TemporaryFile::TemporaryFile(const std::string& folder)
{
    const std::string path = folder + "/.warehouse-XXXXXX";
    pathBytes.assign(path.c_str(), path.c_str() + path.size() + 1);
    descriptor = ::mkostemp(pathBytes.data(), O_CLOEXEC);
}

TemporaryFile::~TemporaryFile()
{
    if (descriptor >= 0) {
        ::close(descriptor);
    }
    if (descriptor >= 0 || closed) {
        ::unlink(path());
    }
}

bool TemporaryFile::close()
{
    const int result = ::close(descriptor);
    descriptor = -1;
    closed = true;
    return result == 0;
}

bool TemporaryFile::renameTo(const std::string& target)
{
    if (::rename(path(), target.c_str()) != 0) {
        return false;
    }
    closed = false;
    return true;
}

bool TemporaryFile::linkTo(const std::string& target)
{
    if (::link(path(), target.c_str()) != 0) {
        return false;  // the destructor removes the temporary name
    }
    ::unlink(path());
    closed = false;
    return true;
}

const char* readRegularFile(const std::string& path, std::string& text)
{
    // Not blocking, so that opening a FIFO does not wait for a writer.
    const int file = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        return std::strerror(errno);
    }
    struct stat status {};
    const char* refused = nullptr;
    if (::fstat(file, &status) != 0) {
        refused = std::strerror(errno);
    } else if (S_ISDIR(status.st_mode)) {
        refused = std::strerror(EISDIR);
    } else if (!S_ISREG(status.st_mode)) {
        refused = "Not a regular file";
    }
    bool complete = refused == nullptr;
    // One byte more than the file's size, so that the end is met without
    // growing the text when the file keeps its size.
    constexpr std::size_t BLOCK = 1 << 16;
    text.resize(complete ? static_cast<std::size_t>(status.st_size) + 1 : 0);
    std::size_t size = 0;
    while (complete) {
        if (size == text.size()) {
            text.resize(text.size() + BLOCK);
        }
        const ssize_t got = ::read(file, text.data() + size,
                                   std::min(BLOCK, text.size() - size));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            complete = got == 0;
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    if (refused == nullptr && !complete) {
        refused = std::strerror(errno);
    }
    ::close(file);
    text.resize(size);
    return refused;
}

namespace {

/// Follows symbolic links from path to the file they lead to, which need
/// not exist yet, so that a replacement replaces the file and keeps the
/// link. Returns false, with errno set, when a link cannot be read or links
/// lead round in a loop.
bool followLinks(std::string path, std::string& target)
{
    constexpr int MOST_LINKS = 40;  // as many as the system follows
    for (int links = 0; links <= MOST_LINKS; ++links) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            target = std::move(path);
            return true;  // a missing file is made; other errors come later
        }
        std::string link(PATH_MAX, '\0');
        const ssize_t length =
            ::readlink(path.c_str(), link.data(), link.size());
        if (length < 0) {
            return false;
        }
        link.resize(static_cast<std::size_t>(length));
        path = !link.empty() && link.front() == '/'
                   ? link
                   : folderOf(path) + '/' + link;
    }
    errno = ELOOP;
    return false;
}

/// What the new file must carry over from the file it replaces.
struct Target {
    bool exists = false;
    mode_t mode = 0;  // permission bits
    uid_t owner = 0;  // owner and group, when it exists
    gid_t group = 0;
};

/// Learns what the new file must keep. Returns why the target cannot be
/// replaced (a folder, a device, a FIFO, a file the process may not write,
/// as the shell's > would refuse it), or null.
const char* examineTarget(const std::string& path, Target& target)
{
    struct stat old {};
    if (::stat(path.c_str(), &old) != 0) {
        target.mode = newFileMode();
        return errno == ENOENT ? nullptr : std::strerror(errno);
    }
    if (S_ISDIR(old.st_mode)) {
        return std::strerror(EISDIR);
    }
    if (!S_ISREG(old.st_mode)) {
        return "Not a regular file";
    }
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
        return std::strerror(errno);
    }
    target = {true, static_cast<mode_t>(old.st_mode & 07777), old.st_uid,
              old.st_gid};
    return nullptr;
}

/// Gives the new file the old one's owner, group and permission bits, as far
/// as the process may and the file system can hold them: a file that got
/// its data is replaced all the same.
void carryOver(int descriptor, const Target& target)
{
    if (target.exists) {
        // Before the bits: a change of owner clears the set-id bits.
        [[maybe_unused]] const int owned =
            ::fchown(descriptor, target.owner, target.group);
    }
    [[maybe_unused]] const int moded = ::fchmod(descriptor, target.mode);
}

}  // namespace

const char* replaceWholeFile(const std::string& path,
                             const std::function<bool(int)>& write)
{
    std::string target;
    if (!followLinks(path, target)) {
        return std::strerror(errno);
    }
    Target old;
    if (const char* reason = examineTarget(target, old)) {
        return reason;
    }
    const std::string folder = folderOf(target);
    TemporaryFile temporary(folder);
    if (!temporary.isOpen() || !write(temporary.fd())) {
        return std::strerror(errno);
    }
    carryOver(temporary.fd(), old);
    if (::fsync(temporary.fd()) != 0 || !temporary.close() ||
        !temporary.renameTo(target)) {
        // Read before the temporary file's clean-up can touch errno.
        return std::strerror(errno);
    }
    syncFolder(folder);
    return nullptr;
}

// Files that appear whole: written aside, put in place by one rename or link,
// the folder synced.
#include "util/files.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

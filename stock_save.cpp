#include "stock_save.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

/// True when a product's fields come back from a stock file as they are:
/// the id and shelf end at the first ';', and every field at a line feed.
bool fitsStockFile(std::string_view id, std::string_view shelf,
                   std::string_view name)
{
    return id.find_first_of(";\n") == std::string_view::npos &&
           shelf.find_first_of(";\n") == std::string_view::npos &&
           name.find('\n') == std::string_view::npos;
}

/// The folder a path names a file in, for creating the temporary file beside
/// it and syncing the rename.
std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

/// The bits a new file gets: read and write for all, less the umask.
mode_t newFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

/// The permission bits the saved file must have: the old file's, or those of
/// a new file. Returns why the target cannot be replaced by a file (a
/// folder, a device, a FIFO), or null.
const char* targetMode(const std::string& path, mode_t& mode)
{
    struct stat old {};
    if (::stat(path.c_str(), &old) != 0) {
        mode = newFileMode();
        return errno == ENOENT ? nullptr : std::strerror(errno);
    }
    if (S_ISDIR(old.st_mode)) {
        return std::strerror(EISDIR);
    }
    if (!S_ISREG(old.st_mode)) {
        return "Not a regular file";
    }
    mode = old.st_mode & 07777;
    return nullptr;
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

/// A temporary file beside the target, removed again unless it has been
/// renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target)
        : pathBytes(target.begin(), target.end())
    {
        constexpr std::string_view suffix = ".XXXXXX";
        pathBytes.insert(pathBytes.end(), suffix.begin(), suffix.end());
        pathBytes.push_back('\0');
        descriptor = ::mkstemp(pathBytes.data());
    }
    ~TemporaryFile()
    {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        if (descriptor >= 0 || closed) {
            ::unlink(path());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool isOpen() const { return descriptor >= 0; }
    int fd() const { return descriptor; }
    const char* path() const { return pathBytes.data(); }

    /// Closes the file, reporting a failed close as a failed write.
    bool close()
    {
        const int result = ::close(descriptor);
        descriptor = -1;
        closed = true;
        return result == 0;
    }

    /// Renames the closed file over target; the file is then no longer
    /// temporary.
    bool renameTo(const std::string& target)
    {
        if (::rename(path(), target.c_str()) != 0) {
            return false;
        }
        closed = false;
        return true;
    }

private:
    std::vector<char> pathBytes;  // mkstemp's template, then the file's path
    int descriptor = -1;          // open until close()
    bool closed = false;          // closed but not yet renamed into place
};

/// The save's steps. Returns why the save failed, or null.
const char* save(const std::string& fileName, const Datastructure& table)
{
    mode_t mode = 0;
    if (const char* reason = targetMode(fileName, mode)) {
        return reason;
    }
    TemporaryFile temporary(fileName);
    if (!temporary.isOpen() || !writeStockLines(temporary.fd(), table) ||
        ::fchmod(temporary.fd(), mode) != 0 || ::fsync(temporary.fd()) != 0 ||
        !temporary.close() || !temporary.renameTo(fileName)) {
        // Read before the temporary file's clean-up can touch errno.
        return std::strerror(errno);
    }
    // The rename is durable once the folder is synced; a file system that
    // cannot sync a folder has the file in place all the same.
    const int folder =
        ::open(folderOf(fileName).c_str(), O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return nullptr;
}

}  // namespace

bool writeStockLines(int descriptor, const Datastructure& table)
{
    constexpr std::size_t BLOCK = 1 << 16;
    std::string block;
    bool written = true;
    table.forEachProduct([&](const std::string& id, const std::string& shelf,
                             std::uint32_t amount, const std::string& name) {
        if (!fitsStockFile(id, shelf, name)) {
            printLine(CANNOT_SAVE_PRODUCT, ' ', id);
            return;
        }
        if (!written) {
            return;  // the save has failed: only the names above still count
        }
        char digits[10];
        const char* digitsEnd =
            std::to_chars(digits, digits + sizeof digits, amount).ptr;
        block.append(id).append(1, ';');
        block.append(digits, static_cast<std::size_t>(digitsEnd - digits));
        block.append(1, ';').append(shelf).append(1, ';').append(name);
        block += '\n';
        if (block.size() >= BLOCK) {
            written = writeAll(descriptor, block);
            block.clear();
        }
    });
    return written && writeAll(descriptor, block);
}

void SaveFile(const std::string& fileName, const Datastructure& table)
{
    if (const char* reason = save(fileName, table)) {
        printLine(STOCK_NOT_SAVED, ' ', std::string_view(reason), '.');
    }
}

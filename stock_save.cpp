#include "stock_save.hh"

#include "files.hh"
#include "output_lines.hh"
#include "progress.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <string_view>

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

/// Follows symbolic links from path to the file they lead to, which need
/// not exist yet, so that a save replaces the file and keeps the link.
/// Returns false, with errno set, when a link cannot be read or links lead
/// round in a loop.
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

/// What the saved file must carry over from the file it replaces.
struct Target {
    bool exists = false;
    mode_t mode = 0;  // permission bits
    uid_t owner = 0;  // owner and group, when it exists
    gid_t group = 0;
};

/// Learns what the saved file must keep. Returns why the target cannot be
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
/// as the process may and the file system can hold them: a save that wrote
/// its data is a save all the same.
void carryOver(int descriptor, const Target& target)
{
    if (target.exists) {
        // Before the bits: a change of owner clears the set-id bits.
        [[maybe_unused]] const int owned =
            ::fchown(descriptor, target.owner, target.group);
    }
    [[maybe_unused]] const int moded = ::fchmod(descriptor, target.mode);
}

/// The save's steps. Returns why the save failed, or null.
const char* save(const std::string& fileName, const Datastructure& table,
                 std::uint64_t& leftOut)
{
    std::string path;
    if (!followLinks(fileName, path)) {
        return std::strerror(errno);
    }
    Target target;
    if (const char* reason = examineTarget(path, target)) {
        return reason;
    }
    const std::string folder = folderOf(path);
    TemporaryFile temporary(folder);
    if (!temporary.isOpen() ||
        !writeStockLines(temporary.fd(), table, leftOut)) {
        return std::strerror(errno);
    }
    carryOver(temporary.fd(), target);
    if (::fsync(temporary.fd()) != 0 || !temporary.close() ||
        !temporary.renameTo(path)) {
        // Read before the temporary file's clean-up can touch errno.
        return std::strerror(errno);
    }
    syncFolder(folder);
    return nullptr;
}

}  // namespace

bool writeStockLines(int descriptor, const Datastructure& table,
                     std::uint64_t& leftOut)
{
    constexpr std::size_t BLOCK = 1 << 16;
    std::string block;
    bool written = true;
    leftOut = 0;
    std::uint64_t visited = 0;
    Progress progress("W", table.count());
    table.forEachProduct([&](const std::string& id, const std::string& shelf,
                             std::uint32_t amount, const std::string& name) {
        progress.at(++visited);
        if (!fitsStockFile(id, shelf, name)) {
            progress.end();  // the line goes where the progress line was
            printLine(CANNOT_SAVE_PRODUCT, ' ', id);
            ++leftOut;
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

bool SaveFile(const std::string& fileName, const Datastructure& table)
{
    std::uint64_t leftOut = 0;
    if (const char* reason = save(fileName, table, leftOut)) {
        printLine(STOCK_NOT_SAVED, ' ', std::string_view(reason), '.');
        return false;
    }
    return leftOut == 0;
}

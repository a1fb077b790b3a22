// Files that appear whole: a temporary file beside the target, put in place
// by one rename or link, and the folder synced after it.
#ifndef WAREHOUSE_FILES_HH
#define WAREHOUSE_FILES_HH

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

/// The folder a path names a file in.
std::string folderOf(const std::string& path);

/// The bits a new file gets: read and write for all, less the umask.
mode_t newFileMode();

/// The bits a new file that several logins share gets in folder: those of
/// newFileMode(), and read and write for the group when the folder is the
/// group's to write, as a folder set up for a group of users is; none for
/// anyone else, whatever the umask gives: a login that may read such a
/// file may hold a read lock of it that holds up every writer.
mode_t sharedFileMode(const std::string& folder);

/// Makes a rename or link in folder durable. A file system that cannot sync
/// a folder has the file in place all the same, so failure is not reported.
void syncFolder(const std::string& folder);

/// Writes all of bytes to descriptor. False, with errno set, when a write
/// fails.
bool writeAll(int descriptor, std::string_view bytes);

/// Makes a new file at path that holds bytes, with the bits of mode:
/// written and synced unnamed where the file system allows (under a hidden
/// temporary name elsewhere), then linked into place and the folder synced,
/// so that a kill at any moment leaves either no file or the whole one. A
/// file that appears at path meanwhile is left alone. False, with errno set
/// (EEXIST for such a file), when the file is not made.
bool createWholeFile(const std::string& path, std::string_view bytes,
                     mode_t mode);

/// Reads the whole of a regular file into text. Returns why it cannot be
/// opened or read through to its end, or null. Anything but a regular file
/// is refused: a FIFO could block for ever and a device such as /dev/zero
/// never ends.
const char* readRegularFile(const std::string& path, std::string& text);

/// Replaces the file path names, through any symbolic links, by one whose
/// bytes write puts to the descriptor it is given (false, with errno set,
/// when it cannot). The new file is written beside the old one and renamed
/// over it only when whole, with the old one's owner, group and permission
/// bits as far as they can be kept (a new one's bits come from the umask):
/// on any failure the old file stays as it was and nothing is left beside
/// it. A folder, a device, a FIFO or a file the process may not write is
/// refused, as the shell's > would refuse it. Returns why the file was not
/// replaced, or null.
const char* replaceWholeFile(const std::string& path,
                             const std::function<bool(int)>& write);

/// A temporary file in a folder, removed again unless it has been put in
/// place under its target's name. Its own name is short, so that it fits
/// wherever the target's name does, and hidden.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& folder);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool isOpen() const { return descriptor >= 0; }
    int fd() const { return descriptor; }
    const char* path() const { return pathBytes.data(); }

    /// Closes the file, reporting a failed close as a failed write.
    bool close();

    /// Renames the closed file over target; the file is then no longer
    /// temporary. False, with errno set, when the rename fails.
    bool renameTo(const std::string& target);

    /// Gives the closed file the name target, unless a file of that name
    /// exists (errno EEXIST); the temporary name goes either way.
    bool linkTo(const std::string& target);

private:
    std::vector<char> pathBytes;  // mkstemp's template, then the file's path
    int descriptor = -1;          // open until close()
    bool closed = false;          // closed and still under its own name
};

#endif

#include "files.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

void syncFolder(const std::string& folder)
{
    const int descriptor =
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
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

// The files of the one-shot jobs that change a store from a spreadsheet.
#include "store/job_files.hh"

#include "util/command_line.hh"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

/// Reports why file failed: errno's reason, or an I/O error when the
/// stream left none.
void reportFailed(const std::string& file)
{
    report(file, std::strerror(errno != 0 ? errno : EIO));
}

}  // namespace

bool readWholeFile(const std::string& file, std::string& text)
{
    // Read by the descriptor, whose read says EISDIR of a folder and EIO of
    // a disk that fails: a stream reads either as a file that ends there,
    // and a sheet cut short would be taken as if whole.
    const int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        reportFailed(file);
        return false;
    }
    bool whole = true;
    std::string read;
    char block[65536];
    while (whole) {
        const ssize_t got = ::read(descriptor, block, sizeof block);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            whole = errno == EINTR;
            continue;
        }
        read.append(block, static_cast<std::size_t>(got));
    }
    if (!whole) {
        reportFailed(file);
    }
    ::close(descriptor);
    text = std::move(read);
    return whole;
}

bool writeWholeFile(const std::string& file, std::string_view text)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        reportFailed(file);
        return false;
    }
    return true;
}

bool refusedFile(const std::string& file,
                 const std::vector<std::string>& problems)
{
    for (const std::string& problem : problems) {
        report(file, problem);
    }
    if (!problems.empty()) {
        report(file, "nothing changed");
    }
    return !problems.empty();
}

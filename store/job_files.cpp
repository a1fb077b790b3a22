// The files of the one-shot jobs that change a store from a spreadsheet.
#include "store/job_files.hh"

#include "util/command_line.hh"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

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
    std::ifstream in(file, std::ios::binary);
    std::ostringstream read;
    read << in.rdbuf();
    if (!in || in.bad()) {
        reportFailed(file);
        return false;
    }
    text = read.str();
    return true;
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

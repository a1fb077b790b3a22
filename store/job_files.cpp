// The files of the one-shot jobs that change a store from a spreadsheet.
#include "store/job_files.hh"

#include "util/command_line.hh"
#include "util/files.hh"

bool readWholeFile(const std::string& file, std::string& text)
{
    if (const char* reason = readRegularFile(file, text)) {
        report(file, reason);
        return false;
    }
    return true;
}

bool writeWholeFile(const std::string& file, std::string_view text)
{
    const auto write = [text](int descriptor) { return writeAll(descriptor, text); };
    if (const char* reason = replaceWholeFile(file, write)) {
        report(file, reason);
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

// The files of the one-shot jobs that change a store from a spreadsheet:
// read whole, written whole, and what is wrong with them reported.
#ifndef WAREHOUSE_JOB_FILES_HH
#define WAREHOUSE_JOB_FILES_HH

#include <string>
#include <string_view>
#include <vector>

/// Reads file, a regular file, whole into text; false, reported in one
/// line, when it cannot or is no regular file.
bool readWholeFile(const std::string& file, std::string& text);

/// Writes text as the whole of file, which is replaced only by the whole
/// of it, as W saves; false, reported in one line, when it cannot.
bool writeWholeFile(const std::string& file, std::string_view text);

/// Reports every problem of file, then that nothing changed; true when
/// there were any.
bool refusedFile(const std::string& file,
                 const std::vector<std::string>& problems);

#endif

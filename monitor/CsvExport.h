#pragma once
// Writes monitor rows to a CSV file with the window's columns and a header
// row. The file is written under a temporary name in the target's folder and
// renamed into place only when complete, so a failed export leaves neither a
// half-written file nor a damaged earlier one.
//
// UTF-8 with a byte order mark (spreadsheet programs take the file for their
// own code page without it); the Text column's bytes are turned into text
// by the caller's code page, the one the window shows them with. Fields holding the separator, a quote or a line break are
// quoted, quotes doubled.

#include "RowFormat.h"

#include <functional>
#include <string>
#include <string_view>

namespace monitor {

struct CsvOptions {
    FormatOptions format;  // dateInTime is a good idea in a file
    char separator = ',';
    // Rows [firstSeq, endSeq) that are still kept; `include` (if set) picks
    // the ones the window shows, e.g. without echo.
    uint64_t firstSeq = 0;
    uint64_t endSeq = UINT64_MAX;
    std::function<bool(const Row&)> include;
    // The Text column's bytes as UTF-8; without it they are written as they are.
    std::function<std::string(std::string_view)> textToUtf8;
};

// Empty on success, else what went wrong, for the user.
std::string ExportCsv(const std::string& path, const RowStore& store, const CsvOptions& options);

std::string CsvField(std::string_view text, char separator);

} // namespace monitor

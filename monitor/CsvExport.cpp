#include "CsvExport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace monitor {

namespace {

std::string ErrnoText(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
}

bool WriteAll(int fd, std::string_view data, std::string& error)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = ErrnoText("Schreiben", errno);
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

std::string CsvField(std::string_view text, char separator)
{
    if (text.find_first_of(std::string{separator, '"', '\r', '\n'}) == std::string_view::npos)
        return std::string(text);
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string ExportCsv(const std::string& path, const RowStore& store, const CsvOptions& options)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty())
        return "Kein Dateiname: " + path;

    std::string temp = dir + "/." + base + ".tmp-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        return ErrnoText(dir, errno);
    // mkstemp's 0600 would hide the export from others; a file replaced
    // keeps its own mode.
    struct stat old;
    fchmod(fd, ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) ? (old.st_mode & 07777) : 0644);
    std::string error;
    auto fail = [&](const std::string& why) {
        ::close(fd);
        ::unlink(temp.c_str());
        return path + ": " + why;
    };

    const char sep = options.separator;
    std::string chunk = "\xEF\xBB\xBF";
    for (int c = 0; c < static_cast<int>(Column::Count); ++c) {
        if (c)
            chunk.push_back(sep);
        chunk += CsvField(ColumnTitle(static_cast<Column>(c)), sep);
    }
    chunk += "\r\n";

    const uint64_t first = std::max(options.firstSeq, store.FirstSeq());
    const uint64_t end = std::min(options.endSeq, store.EndSeq());
    for (uint64_t seq = first; seq < end; ++seq) {
        const Row& row = store.At(seq);
        if (options.include && !options.include(row))
            continue;
        for (int c = 0; c < static_cast<int>(Column::Count); ++c) {
            if (c)
                chunk.push_back(sep);
            std::string cell = Cell(store, row, static_cast<Column>(c), options.format);
            if (static_cast<Column>(c) == Column::Text && options.textToUtf8)
                cell = options.textToUtf8(cell);
            chunk += CsvField(cell, sep);
        }
        chunk += "\r\n";
        // Written in pieces: a million rows are not held as one text.
        if (chunk.size() >= (1 << 16)) {
            if (!WriteAll(fd, chunk, error))
                return fail(error);
            chunk.clear();
        }
    }
    if (!WriteAll(fd, chunk, error))
        return fail(error);
    if (::fsync(fd) != 0)
        return fail(ErrnoText("fsync", errno));
    if (::rename(temp.c_str(), path.c_str()) != 0)
        return fail(ErrnoText("Umbenennen", errno));
    ::close(fd);
    // Makes the rename itself durable; the file is in place either way.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return {};
}

} // namespace monitor

#include "Capture.h"

#include "CodePage.h"
#include "DecodeText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace terminal {

namespace {

constexpr char kHeader[] = "# Zeit\tArt\tAnzahl\tHex\tAnzeige\n";
// What a queued record costs beyond its bytes, so that a flood of tiny
// records is bounded too.
constexpr size_t kRecordOverhead = 64;
// Formatted text handed to write(2) in pieces of about this size.
constexpr size_t kWriteChunk = 1u << 20;

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// A file system path (UTF-8) as the program's code page, for messages shown
// in the log pane; what the code page lacks becomes '?'.
std::string PathForMessage(const std::string& path)
{
    std::string out;
    for (size_t i = 0; i < path.size();) {
        const unsigned char lead = static_cast<unsigned char>(path[i]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        char32_t c = 0;
        if (length == 0 || i + length > path.size()) {
            out.push_back('?');
            ++i;
            continue;
        }
        c = length == 1 ? lead : lead & (0x7F >> length);
        bool valid = true;
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(path[i + k]);
            valid = valid && (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        unsigned char byte;
        out.push_back(valid && codepage::ByteOf(c, byte) ? static_cast<char>(byte) : '?');
        i += valid ? length : 1;
    }
    return out;
}

std::string Quoted(const std::string& path)
{
    return "\"" + PathForMessage(path) + "\"";
}

// Local date and time of a second, and its UTC offset ("+01:00").
void LocalSecond(int64_t second, std::string& dateTime, std::string& offset)
{
    const time_t t = static_cast<time_t>(second);
    tm local{};
    localtime_r(&t, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    dateTime = text;
    const long minutes = local.tm_gmtoff / 60;
    const long magnitude = minutes < 0 ? -minutes : minutes;
    snprintf(text, sizeof text, "%c%02ld:%02ld", minutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    offset = text;
}

void SplitMicroseconds(TCaptureFile::Clock::time_point time, int64_t& second, int64_t& micro)
{
    const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
    second = us / 1000000;
    micro = us % 1000000;
    if (micro < 0) {
        micro += 1000000;
        --second;
    }
}

void AppendMicroseconds(std::string& out, int64_t micro)
{
    char text[8];
    snprintf(text, sizeof text, ".%06lld", static_cast<long long>(micro));
    out += text;
}

const char* KindText(TCaptureKind kind)
{
    switch (kind) {
    case TCaptureKind::RX: return "RX";
    case TCaptureKind::TX: return "TX";
    case TCaptureKind::EV: break;
    }
    return "EV";
}

} // namespace

TCaptureFile::TCaptureFile() : write_([](int fd, const void* data, size_t size) { return ::write(fd, data, size); })
{
}

TCaptureFile::~TCaptureFile()
{
    Stop();
}

std::string TCaptureFile::FormatTime(Clock::time_point time)
{
    int64_t second, micro;
    SplitMicroseconds(time, second, micro);
    std::string dateTime, offset;
    LocalSecond(second, dateTime, offset);
    AppendMicroseconds(dateTime, micro);
    return dateTime + offset;
}

std::string TCaptureFile::ShownForm(const std::string& bytes, bool rewritten)
{
    // The rewritten form is printable ASCII throughout.
    if (rewritten)
        return DecodeText(bytes);
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (unsigned char b : bytes) {
        switch (b) {
        case 0: out += "<0>"; break;
        case '\t': AppendUtf8(out, 0x2409); break;
        case '\n': AppendUtf8(out, 0x240A); break;
        case '\r': AppendUtf8(out, 0x240D); break;
        default: AppendUtf8(out, codepage::CharOf(b));
        }
    }
    return out;
}

std::string TCaptureFile::Start(const std::string& folder, const std::string& portName)
{
    Stop();
    struct stat st{};
    if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "Mitschnitt nicht m\xf6glich: Ordner " + Quoted(folder) + " nicht vorhanden";

    folder_ = folder;
    portName_ = portName;
    // The port name goes into a file name: no path separators.
    std::string port = portName;
    for (char& c : port)
        if (c == '/' || c == '\0')
            c = '_';
    const time_t now = Clock::to_time_t(Clock::now());
    tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d_%H%M%S", &local);
    baseName_ = folder_ + (folder_.back() == '/' ? "" : "/") + "Tarrowin-" + port + "-" + stamp;
    sequence_ = 0;
    lastSecond_ = INT64_MIN;

    if (std::string error = OpenNext(true); !error.empty())
        return error;
    std::lock_guard lock(mutex_);
    queue_.clear();
    queuedBytes_ = 0;
    running_ = true;
    stopping_ = false;
    writer_ = std::thread(&TCaptureFile::Run, this);
    return {};
}

std::string TCaptureFile::OpenNext(bool first)
{
    // Never over an existing file: two starts within one second, or a
    // roll-over that meets a file left from another run, take the next
    // free sequence number.
    for (int attempt = 0; attempt < 10000; ++attempt) {
        ++sequence_;
        const std::string name = baseName_ + (sequence_ == 1 ? "" : "-" + std::to_string(sequence_)) + ".log";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            const int error = errno;
            if (error == ENOENT || error == ENOTDIR)
                return first ? "Mitschnitt nicht m\xf6glich: Ordner " + Quoted(folder_) + " nicht vorhanden"
                             : "Mitschnitt beendet: Ordner " + Quoted(folder_) + " nicht mehr vorhanden";
            return std::string(first ? "Mitschnitt nicht m\xf6glich: " : "Mitschnitt beendet: ") + "Datei " +
                   Quoted(name) + " kann nicht angelegt werden (" + std::strerror(error) + ")";
        }
        {
            std::lock_guard lock(mutex_);
            currentFile_ = name;
        }
        fd_ = fd;
        fileSize_ = 0;
        if (!WriteAll(kHeader)) {
            const int error = errno;
            CloseFile();
            ::unlink(name.c_str());
            return std::string(first ? "Mitschnitt nicht m\xf6glich: " : "Mitschnitt beendet: ") + "Datei " +
                   Quoted(name) + " nicht beschreibbar (" + std::strerror(error) + ")";
        }
        return {};
    }
    return std::string(first ? "Mitschnitt nicht m\xf6glich: " : "Mitschnitt beendet: ") +
           "kein freier Dateiname in " + Quoted(folder_);
}

void TCaptureFile::Stop()
{
    {
        std::lock_guard lock(mutex_);
        running_ = false;
        stopping_ = true;
    }
    work_.notify_all();
    room_.notify_all();
    if (writer_.joinable())
        writer_.join();
    // A start that failed after opening its file, or a writer that failed,
    // leaves nothing open.
    CloseFile();
}

bool TCaptureFile::Running() const
{
    std::lock_guard lock(mutex_);
    return running_;
}

std::string TCaptureFile::CurrentFile() const
{
    std::lock_guard lock(mutex_);
    return currentFile_;
}

void TCaptureFile::Record(TCaptureKind kind, std::string bytes, Clock::time_point time, bool rewritten)
{
    const size_t cost = bytes.size() + kRecordOverhead;
    std::unique_lock lock(mutex_);
    // Nothing is dropped: the producer waits for the writer. A record
    // larger than the whole queue goes in alone.
    room_.wait(lock, [&] { return !running_ || queuedBytes_ == 0 || queuedBytes_ + cost <= queueLimit_; });
    if (!running_)
        return;
    queuedBytes_ += cost;
    queue_.push_back(Item{kind, rewritten, time, std::move(bytes)});
    lock.unlock();
    work_.notify_one();
}

void TCaptureFile::AppendLine(std::string& out, const Item& item)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    int64_t second, micro;
    SplitMicroseconds(item.time, second, micro);
    if (second != lastSecond_) {
        LocalSecond(second, lastSecondText_, lastOffsetText_);
        lastSecond_ = second;
    }
    out += lastSecondText_;
    AppendMicroseconds(out, micro);
    out += lastOffsetText_;
    out.push_back('\t');
    out += KindText(item.kind);
    out.push_back('\t');
    out += std::to_string(item.bytes.size());
    out.push_back('\t');
    bool first = true;
    for (unsigned char b : item.bytes) {
        if (!first)
            out.push_back(' ');
        first = false;
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
    out.push_back('\t');
    out += ShownForm(item.bytes, item.rewritten);
    out.push_back('\n');
}

bool TCaptureFile::WriteAll(const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write_(fd_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            const int error = errno;
            // A line written in part is taken back: the file ends with
            // whole records.
            const size_t lastLineEnd = data.rfind('\n', done == 0 ? 0 : done - 1);
            const size_t keep = done == 0 || lastLineEnd == std::string::npos ? 0 : lastLineEnd + 1;
            if (::ftruncate(fd_, static_cast<off_t>(fileSize_ - done + keep)) == 0)
                fileSize_ = fileSize_ - done + keep;
            errno = error;
            return false;
        }
        done += static_cast<size_t>(n);
        fileSize_ += static_cast<uint64_t>(n);
    }
    return true;
}

bool TCaptureFile::FolderGone() const
{
    // The file's last name is gone when its folder was removed.
    struct stat st{};
    return ::fstat(fd_, &st) == 0 && st.st_nlink == 0;
}

void TCaptureFile::Fail(const std::string& message)
{
    {
        std::lock_guard lock(mutex_);
        running_ = false;
        queue_.clear();
        queuedBytes_ = 0;
    }
    room_.notify_all();
    CloseFile();
    if (onFailure_)
        onFailure_(message);
}

void TCaptureFile::CloseFile()
{
    if (fd_ < 0)
        return;
    ::fdatasync(fd_);
    ::close(fd_);
    fd_ = -1;
}

void TCaptureFile::Run()
{
    using namespace std::chrono_literals;
    auto lastCheck = std::chrono::steady_clock::now();
    auto writeError = [this] {
        const int error = errno;
        const std::string file = Quoted(CurrentFile());
        if (error == ENOSPC || error == EDQUOT)
            return "Mitschnitt beendet: Datentr\xe4ger voll (" + file + ")";
        if (error == EFBIG)
            return "Mitschnitt beendet: Datei zu gro\xdf f\xfcr das Dateisystem (" + file + ")";
        return "Mitschnitt beendet: Schreibfehler (" + std::string(std::strerror(error)) + ", " + file + ")";
    };
    std::string out, line;
    for (;;) {
        std::deque<Item> batch;
        bool last = false;
        {
            std::unique_lock lock(mutex_);
            work_.wait_for(lock, 1s, [&] { return !queue_.empty() || stopping_; });
            batch.swap(queue_);
            queuedBytes_ = 0;
            last = stopping_;
        }
        room_.notify_all();

        // Everything taken is written before the next wait: nothing waits
        // in a buffer of the program, at any rate.
        out.clear();
        for (const Item& item : batch) {
            line.clear();
            AppendLine(line, item);
            const uint64_t size = fileSize_ + out.size();
            if (size > sizeof kHeader - 1 && size + line.size() > rollOverSize_) {
                if (!WriteAll(out))
                    return Fail(writeError());
                out.clear();
                CloseFile();
                if (std::string error = OpenNext(false); !error.empty())
                    return Fail(error);
            }
            out += line;
            if (out.size() >= kWriteChunk) {
                if (!WriteAll(out))
                    return Fail(writeError());
                out.clear();
            }
        }
        if (!WriteAll(out))
            return Fail(writeError());

        const auto now = std::chrono::steady_clock::now();
        if (now - lastCheck >= 1s || last) {
            lastCheck = now;
            if (FolderGone())
                return Fail("Mitschnitt beendet: Ordner " + Quoted(folder_) + " nicht mehr vorhanden");
        }
        if (last)
            break;
    }
    CloseFile();
}

} // namespace terminal

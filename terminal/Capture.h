#pragma once
// The capture file: every byte received and sent, and every event, with the
// time it happened, written to a text file off the main thread. Nothing is
// dropped: a full queue makes the producer wait. A write that fails or a
// folder that goes away ends the capture, and the failure handler is told
// once.
//
// One line per record, fields separated by one TAB:
//   time   local time, microseconds, UTC offset: 2026-12-08T16:20:01.123456+01:00
//   kind   RX (as read from the port), TX (as written, escapes expanded), EV
//   count  number of bytes
//   hex    the bytes as upper-case hex pairs separated by single spaces
//   shown  the bytes as the panes show them, UTF-8, never TAB, CR or LF:
//          CR U+240D, LF U+240A, TAB U+2409, zero "<0>", others through the
//          program's code page; with `rewritten` the "<n>" form of
//          DecodeText instead.
// Each file starts with one line beginning with '#' that names the columns.
// The hex fields alone give back both byte streams exactly.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

namespace terminal {

enum class TCaptureKind { RX, TX, EV };

class TCaptureFile {
public:
    using Clock = std::chrono::system_clock;
    // Called once, on the writer thread, with a German message in the
    // program's code page ("Mitschnitt beendet: ...").
    using FailureHandler = std::function<void(const std::string& message)>;
    // Stands in for write(2) in tests.
    using WriteFunction = std::function<ssize_t(int fd, const void* data, size_t size)>;

    static constexpr size_t kDefaultQueueLimit = 16u << 20;
    static constexpr uint64_t kDefaultRollOverSize = uint64_t{256} << 20;

    TCaptureFile();
    ~TCaptureFile(); // stops
    TCaptureFile(const TCaptureFile&) = delete;
    TCaptureFile& operator=(const TCaptureFile&) = delete;

    // Settings taken by the next Start.
    void SetRollOverSize(uint64_t bytes) { rollOverSize_ = bytes; }
    void SetQueueLimit(size_t bytes) { queueLimit_ = bytes; }
    void SetFailureHandler(FailureHandler handler) { onFailure_ = std::move(handler); }
    void SetWriteFunction(WriteFunction write) { write_ = std::move(write); }

    // Creates "Tarrowin-<port>-YYYY-MM-DD_HHMMSS.log" in the folder (never
    // over an existing file) and starts the writer. A capture already
    // running is stopped first. Returns "" or a German message in the
    // program's code page.
    std::string Start(const std::string& folder, const std::string& portName);
    // Writes everything queued, flushes to the disk, closes and joins.
    void Stop();

    // Started, and neither stopped nor failed.
    bool Running() const;
    const std::string& PortName() const { return portName_; }
    const std::string& Folder() const { return folder_; }
    // The file being written (after a roll-over the newest).
    std::string CurrentFile() const;

    // Queues a record; waits while the queue is full. Records after a stop
    // or a failure are ignored.
    void Record(TCaptureKind kind, std::string bytes, Clock::time_point time, bool rewritten = false);

    // The parts of a line, exposed for tests.
    static std::string FormatTime(Clock::time_point time);
    static std::string ShownForm(const std::string& bytes, bool rewritten);

private:
    struct Item {
        TCaptureKind kind;
        bool rewritten;
        Clock::time_point time;
        std::string bytes;
    };
    void Run();
    // Opens the next file of this capture; "" or the reason it failed.
    std::string OpenNext(bool first);
    void AppendLine(std::string& out, const Item& item);
    bool WriteAll(const std::string& data);
    bool FolderGone() const;
    void Fail(const std::string& message);
    void CloseFile();

    uint64_t rollOverSize_ = kDefaultRollOverSize;
    size_t queueLimit_ = kDefaultQueueLimit;
    FailureHandler onFailure_;
    WriteFunction write_;

    std::string folder_, portName_, baseName_;
    int sequence_ = 0;
    int fd_ = -1;
    uint64_t fileSize_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable work_, room_;
    std::deque<Item> queue_;
    size_t queuedBytes_ = 0;
    bool running_ = false, stopping_ = false;
    std::string currentFile_;
    std::thread writer_;

    // Writer thread only: the formatted second of the last record.
    int64_t lastSecond_ = INT64_MIN;
    std::string lastSecondText_, lastOffsetText_;
};

} // namespace terminal

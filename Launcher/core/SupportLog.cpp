#include "core/SupportLog.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

#include "core/Handles.h"

namespace {

class Writer {
public:
    void open(const std::wstring& path, std::uint64_t limit) {
        const std::lock_guard<std::mutex> lock(mutex_);
        path_ = path;
        limit_ = limit;
        header_.clear();
        runStart_ = added_;
    }

    void start() {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (started_) return;
        try {
            std::thread([this] { run(); }).detach();  // it ends with the process
            started_ = true;
        } catch (const std::exception&) {
            // No thread, or no memory for one: no log, and nothing kept for it.
            path_.clear();
            pending_.clear();
        }
    }

    void add(const std::string& text) {
        SYSTEMTIME now{};
        GetSystemTime(&now);
        char stamp[32] = {};
        std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ ", now.wYear,
                      now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                      now.wMilliseconds);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (path_.empty()) return;
            pending_.push_back(stamp + text + "\r\n");
            if (header_.empty()) header_ = stamp + text + ", continued\r\n";
            ++added_;
        }
        changed_.notify_all();
    }

    void flush(unsigned ms) {
        start();
        std::unique_lock<std::mutex> lock(mutex_);
        const std::uint64_t wanted = added_;
        changed_.wait_for(lock, std::chrono::milliseconds(ms),
                          [&] { return path_.empty() || done_ >= wanted; });
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            changed_.wait(lock, [this] { return !pending_.empty(); });
            std::deque<std::string> lines;
            lines.swap(pending_);
            const std::wstring path = path_;
            const std::uint64_t limit = limit_;
            // The run's first line begins this batch, or was written before.
            const std::string header = done_ <= runStart_ ? std::string() : header_;
            lock.unlock();
            write(path, limit, header, lines);
            lock.lock();
            done_ += lines.size();
            changed_.notify_all();
        }
    }

    // Appends the lines; a full log becomes the older one first. A log begun
    // in the middle of a run begins with that run's header again, so that
    // a run longer than the limit never loses it.
    static void write(const std::wstring& path, std::uint64_t limit, const std::string& header,
                      const std::deque<std::string>& lines) {
        UniqueFile file;
        std::string text;
        for (int round = 0; round < 2; ++round) {
            file.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            LARGE_INTEGER size{};
            if (!file || !GetFileSizeEx(file.get(), &size)) return;
            if (static_cast<std::uint64_t>(size.QuadPart) < limit || round == 1) break;
            file.reset();
            if (!MoveFileExW(path.c_str(), (path + L".old").c_str(), MOVEFILE_REPLACE_EXISTING)) {
                return;
            }
            text = header;
        }
        for (const std::string& line : lines) text += line;
        DWORD written = 0;
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> pending_;
    std::wstring path_;  // empty: not logging
    std::uint64_t limit_ = 0;
    std::uint64_t added_ = 0, done_ = 0;
    std::uint64_t runStart_ = 0;  // lines added before this run's first
    std::string header_;          // that first line, marked as repeated
    bool started_ = false;
};

Writer& writer() {
    // Never destroyed: lines may come from any thread until the process ends.
    static Writer* const instance = new Writer;
    return *instance;
}

}  // namespace

void openSupportLog(const std::wstring& path, std::uint64_t limit) {
    writer().open(path, limit);
}

void startSupportLogWriter() {
    writer().start();
}

void logLine(const std::string& text) {
    try {
        writer().add(text);
    } catch (...) {
        // Out of memory for a line: it is left out.
    }
}

void flushSupportLog(unsigned ms) {
    writer().flush(ms);
}

std::string asciiText(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (const wchar_t c : text) out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    return out;
}

std::string utcText(std::uint64_t unixSeconds) {
    // FILETIME counts 100 ns from 1601; SYSTEMTIME ends with the year 30827.
    constexpr std::uint64_t kFrom1601 = 11644473600, kLast = 253402300799;  // 9999-12-31
    SYSTEMTIME at{};
    ULARGE_INTEGER ticks{};
    ticks.QuadPart = (unixSeconds + kFrom1601) * 10000000;
    const FILETIME time{ticks.LowPart, ticks.HighPart};
    if (unixSeconds > kLast || !FileTimeToSystemTime(&time, &at)) {
        return std::to_string(unixSeconds) + " s after 1970";
    }
    char text[40] = {};
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", at.wYear, at.wMonth,
                  at.wDay, at.wHour, at.wMinute, at.wSecond);
    return text;
}

// Checks members of a new archive in a second thread while later members are
// still being written, so that reading them back costs little extra time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "file_io.h"

namespace archivers {

class BackgroundCheck {
public:
    // Check: 0 when the member `key` of `archive` reads back, else a result code and `why`.
    using Check = std::function<int(RandomReader& archive, std::uint64_t key, std::string& why)>;

    // BackgroundCheck: reads the file at `path` (opened on first use) with `check`.
    BackgroundCheck(std::string path, Check check);
    ~BackgroundCheck();
    BackgroundCheck(const BackgroundCheck&) = delete;
    BackgroundCheck& operator=(const BackgroundCheck&) = delete;

    // submit: check member `key`; its bytes must already be in the file.
    void submit(std::uint64_t key);
    // finish: wait for every submitted member; 0 or the first failure.
    int finish(std::string& why);

private:
    void run();

    std::string m_path;
    Check m_check;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::uint64_t> m_queue;
    bool m_closing = false;
    bool m_abandon = false;
    int m_result = 0;
    std::string m_why;
    std::thread m_thread;
};

} // namespace archivers

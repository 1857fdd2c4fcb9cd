#pragma once

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <thread>

namespace testsupport {

// The resident memory of this process in bytes right now; 0 when the system does not tell.
qint64 residentMemoryBytes();

// Samples the resident memory every 10 ms on its own thread, so a busy event loop cannot hide a peak.
class PeakMemory
{
public:
    PeakMemory()
        : m_base(residentMemoryBytes())
        , m_peak(m_base)
        , m_thread([this] {
            while (!m_stop) {
                const qint64 now = residentMemoryBytes();
                if (now > m_peak)
                    m_peak = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        })
    {
    }
    ~PeakMemory() { stop(); }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    qint64 base() const { return m_base; }
    qint64 peak() const { return m_peak; }

private:
    const qint64 m_base;
    std::atomic<qint64> m_peak;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace testsupport

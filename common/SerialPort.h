#pragma once
// A serial port, raw 8N1 at 115200 baud, whose input arrives as callbacks from
// the thread's service loop, like a socket's. Writes never block: what the
// port does not take at once waits in a queue and goes out as it drains. A
// port that goes away (a USB adapter unplugged, the far end of a
// pseudo-terminal closed) is reported once, through the lost handler, and the
// port is closed.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/AliveGuard.h"
#include "winport/base/wintypes.h"
#include "winport/loop/ServiceLoop.h"

class SerialPort {
public:
    using ReceiveHandler = void (*)(const uint8_t* data, size_t length, void* user);
    using LostHandler = void (*)(DWORD error, void* user);

    static constexpr DWORD kDeviceNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED

    SerialPort() = default;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    ~SerialPort();

    // Opens and configures the port for this process alone. 0, or the Win32
    // code: ERROR_FILE_NOT_FOUND when there is no such port,
    // ERROR_ACCESS_DENIED when it is refused or another program holds it,
    // ERROR_NOT_SUPPORTED when the path is no terminal.
    DWORD Open(const std::string& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }

    // Either may be null; they are called from the service loop.
    void SetHandlers(ReceiveHandler receive, LostHandler lost, void* user);

    // Queues the bytes and writes what the port takes now. False when the port
    // is closed or has gone; the port is then closed and LostError() tells
    // why. The lost handler is not called from inside Write.
    bool Write(const void* data, size_t length);
    // Why the port went, 0 while it is open or was closed by its owner.
    DWORD LostError() const { return m_dwLostError; }
    size_t PendingOutput() const { return m_output.size() - m_outputStart; }
    // Drops input the port holds that nobody has read yet.
    void DiscardInput();

private:
    void OnEvents(uint32_t events);
    void ReadAll();
    bool Flush();
    void UpdateWatch();
    void Lose(DWORD error);  // closes the port, then calls the lost handler
    void Shut();

    int m_fd = -1;
    uint64_t m_nOpenCount = 0;  // which opening a running read belongs to
    std::string m_path;
    winport::ServiceLoop::WatchId m_watch = 0;
    bool m_bWatchingOutput = false;
    std::string m_output;
    size_t m_outputStart = 0;
    DWORD m_dwLostError = 0;
    ReceiveHandler m_pfnReceive = nullptr;
    LostHandler m_pfnLost = nullptr;
    void* m_pUser = nullptr;
    FrameStack<> m_Calls;  // handler calls running: the owner may close or destroy the port in one
};

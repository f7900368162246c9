#include "common/SerialPort.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "winport/base/errors.h"

namespace {

DWORD OpenError(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EBUSY:
        case EROFS:
        case EWOULDBLOCK:
            return ERROR_ACCESS_DENIED;
        default:
            return winport::Win32ErrorFromErrno(err);
    }
}

// Raw bytes, 8 data bits, no parity, one stop bit, 115200 baud, no flow
// control. VMIN 1: with the descriptor non-blocking an empty line reads as
// EAGAIN, so a read of 0 means the line hung up.
bool Configure(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0)
        return false;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

SerialPort::~SerialPort() {
    Shut();
}

DWORD SerialPort::Open(const std::string& path) {
    Close();
    if (path.empty() || path.find('\0') != std::string::npos)
        return ERROR_FILE_NOT_FOUND;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return OpenError(errno);
    if (!isatty(fd)) {
        close(fd);
        return ERROR_NOT_SUPPORTED;
    }
    // One program at a time, as a port is on other systems: two senders
    // would interleave their blocks.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !Configure(fd)) {
        const int err = errno;
        close(fd);
        return OpenError(err);
    }
    const uint64_t opening = m_nOpenCount + 1;
    const winport::ServiceLoop::WatchId watch =
        winport::ServiceLoop::Current().AddWatch(fd, EPOLLIN, [this, opening](uint32_t events) {
            if (m_nOpenCount == opening)
                OnEvents(events);
        });
    if (watch == 0) {
        const int err = errno;
        close(fd);
        return winport::Win32ErrorFromErrno(err);
    }
    m_fd = fd;
    m_nOpenCount = opening;
    m_watch = watch;
    m_bWatchingOutput = false;
    m_path = path;
    m_dwLostError = 0;
    return ERROR_SUCCESS;
}

void SerialPort::Close() {
    Shut();
    m_dwLostError = 0;
}

void SerialPort::Shut() {
    if (m_watch != 0)
        winport::ServiceLoop::Current().RemoveWatch(m_watch);
    m_watch = 0;
    if (m_fd >= 0)
        close(m_fd);  // also releases the lock
    m_fd = -1;
    ++m_nOpenCount;  // a watch callback still running sees another opening
    m_output.clear();
    m_outputStart = 0;
}

void SerialPort::SetHandlers(ReceiveHandler receive, LostHandler lost, void* user) {
    m_pfnReceive = receive;
    m_pfnLost = lost;
    m_pUser = user;
}

bool SerialPort::Write(const void* data, size_t length) {
    if (m_fd < 0)
        return false;
    m_output.append(static_cast<const char*>(data), length);
    if (Flush())
        return true;
    m_dwLostError = kDeviceNotConnected;
    Shut();
    return false;
}

void SerialPort::DiscardInput() {
    if (m_fd >= 0)
        tcflush(m_fd, TCIFLUSH);
}

bool SerialPort::Flush() {
    while (m_outputStart < m_output.size()) {
        const ssize_t n = write(m_fd, m_output.data() + m_outputStart, m_output.size() - m_outputStart);
        if (n > 0) {
            m_outputStart += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        return false;
    }
    if (m_outputStart == m_output.size()) {
        m_output.clear();
        m_outputStart = 0;
    }
    UpdateWatch();
    return true;
}

void SerialPort::UpdateWatch() {
    const bool wanted = PendingOutput() > 0;
    if (wanted == m_bWatchingOutput || m_watch == 0)
        return;
    if (winport::ServiceLoop::Current().ModifyWatch(m_watch, wanted ? EPOLLIN | EPOLLOUT : EPOLLIN))
        m_bWatchingOutput = wanted;
}

void SerialPort::OnEvents(uint32_t events) {
    FrameStack<>::Frame frame(m_Calls);
    const uint64_t opening = m_nOpenCount;
    // What arrived before a hang-up is still delivered.
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        ReadAll();
        if (!frame.Alive() || m_nOpenCount != opening)
            return;
    }
    if (events & EPOLLOUT) {
        if (!Flush()) {
            Lose(kDeviceNotConnected);
            return;
        }
    }
    if (events & (EPOLLHUP | EPOLLERR))
        Lose(kDeviceNotConnected);
}

void SerialPort::ReadAll() {
    FrameStack<>::Frame frame(m_Calls);
    const uint64_t opening = m_nOpenCount;
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = read(m_fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {  // hung up (0) or gone (EIO, ENXIO, ENODEV)
            Lose(kDeviceNotConnected);
            return;
        }
        if (m_pfnReceive)
            m_pfnReceive(buffer, static_cast<size_t>(n), m_pUser);
        if (!frame.Alive() || m_nOpenCount != opening)
            return;
    }
}

void SerialPort::Lose(DWORD error) {
    Shut();
    m_dwLostError = error;
    if (m_pfnLost)
        m_pfnLost(error, m_pUser);
}

// The serial port on a pseudo-terminal: what opening reports, the line
// settings, writes the far end is slow to take, and a far end that goes.

#include "common/SerialPort.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/common/SerialTestSupport.h"
#include "tests/support/ManualClockTest.h"
#include "tests/support/TempFolder.h"
#include "winport/base/errors.h"

namespace {

using oskan::test::Settle;

// The master side of a fresh pseudo-terminal, closed with the object.
class Pty {
public:
    Pty() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        char name[128] = {};
        if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0 &&
            ptsname_r(m_master, name, sizeof name) == 0)
            m_name = name;
    }
    ~Pty() { Close(); }
    void Close() {
        if (m_master >= 0)
            close(m_master);
        m_master = -1;
    }
    int Master() const { return m_master; }
    const std::string& Name() const { return m_name; }
    // Everything the master can read now.
    std::string Drain() {
        std::string bytes;
        char buffer[4096];
        for (ssize_t n; (n = read(m_master, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, static_cast<size_t>(n));
        return bytes;
    }

private:
    int m_master = -1;
    std::string m_name;
};

class SerialPortTest : public oskan::test::ManualClockTest {
protected:
    struct Record {
        std::string received;
        std::vector<DWORD> lost;
    };
    static void OnReceive(const uint8_t* data, size_t length, void* user) {
        static_cast<Record*>(user)->received.append(reinterpret_cast<const char*>(data), length);
    }
    static void OnLost(DWORD error, void* user) { static_cast<Record*>(user)->lost.push_back(error); }
};

TEST_F(SerialPortTest, OpeningTellsMissingBusyAndNonTerminalPortsApart) {
    oskan::test::TempFolder folder;
    SerialPort port;
    EXPECT_EQ(port.Open(folder.Path() + "/ttyUSB9"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(port.Open(""), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(port.Open(std::string("/dev/pts/0\0x", 12)), ERROR_FILE_NOT_FOUND);
    const std::string file = folder.Path() + "/plain";
    std::ofstream(file) << "not a port";
    EXPECT_EQ(port.Open(file), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(port.IsOpen());

    Pty pty;
    ASSERT_FALSE(pty.Name().empty());
    ASSERT_EQ(port.Open(pty.Name()), ERROR_SUCCESS);
    SerialPort second;
    EXPECT_EQ(second.Open(pty.Name()), ERROR_ACCESS_DENIED);  // held by the first
    port.Close();
    EXPECT_EQ(second.Open(pty.Name()), ERROR_SUCCESS);
}

TEST_F(SerialPortTest, TheLineIsRaw8N1At115200) {
    Pty pty;
    SerialPort port;
    ASSERT_EQ(port.Open(pty.Name()), ERROR_SUCCESS);
    const int fd = open(pty.Name().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    close(fd);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST_F(SerialPortTest, WritesWaitForASlowFarEndAndArriveWholeAndInOrder) {
    Pty pty;
    SerialPort port;
    Record record;
    ASSERT_EQ(port.Open(pty.Name()), ERROR_SUCCESS);
    port.SetHandlers(OnReceive, OnLost, &record);
    std::string sent;
    for (int i = 0; sent.size() < 256 * 1024; ++i)
        sent += std::to_string(i) + ",";
    ASSERT_TRUE(port.Write(sent.data(), sent.size()));
    EXPECT_GT(port.PendingOutput(), 0u);  // far more than the terminal holds
    std::string arrived;
    for (int rounds = 0; rounds < 10000 && arrived.size() < sent.size(); ++rounds) {
        Settle();
        arrived += pty.Drain();
    }
    EXPECT_EQ(arrived, sent);
    EXPECT_EQ(port.PendingOutput(), 0u);

    ASSERT_EQ(write(pty.Master(), "C\x06", 2), 2);
    Settle();
    EXPECT_EQ(record.received, "C\x06");
    EXPECT_TRUE(record.lost.empty());
}

TEST_F(SerialPortTest, AFarEndThatGoesIsReportedOnceAndClosesThePort) {
    auto pty = std::make_unique<Pty>();
    SerialPort port;
    Record record;
    ASSERT_EQ(port.Open(pty->Name()), ERROR_SUCCESS);
    port.SetHandlers(OnReceive, OnLost, &record);
    ASSERT_EQ(write(pty->Master(), "last", 4), 4);
    Settle();
    pty.reset();
    Settle();
    EXPECT_EQ(record.received, "last");
    ASSERT_EQ(record.lost.size(), 1u);
    EXPECT_EQ(record.lost[0], SerialPort::kDeviceNotConnected);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.LostError(), SerialPort::kDeviceNotConnected);
    EXPECT_FALSE(port.Write("x", 1));
}

TEST_F(SerialPortTest, AHandlerMayCloseOrDestroyThePort) {
    Pty pty;
    auto port = std::make_unique<SerialPort>();
    ASSERT_EQ(port->Open(pty.Name()), ERROR_SUCCESS);
    struct Context {
        std::unique_ptr<SerialPort>* port;
        int calls = 0;
    } context{&port};
    port->SetHandlers(
        [](const uint8_t*, size_t, void* user) {
            auto* c = static_cast<Context*>(user);
            ++c->calls;
            c->port->reset();
        },
        nullptr, &context);
    ASSERT_EQ(write(pty.Master(), "abc", 3), 3);
    Settle();
    EXPECT_EQ(context.calls, 1);
    EXPECT_EQ(port, nullptr);
}

}  // namespace

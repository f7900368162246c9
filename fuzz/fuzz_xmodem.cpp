// The serial upload's receive paths: the sender taking whatever the line
// brings in every state (answers, noise, cancels, timeouts, a cancel or a new
// upload of its own), and the simulated bootloader taking whatever the line
// brings, the sender's own blocks included. Every upload that starts
// completes exactly once and never counts more bytes than the file has.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/SerialPort.h"
#include "common/Xmodem.h"
#include "common/XmodemSender.h"
#include "fuzz/FuzzSupport.h"
#include "sim/SimSerialLink.h"
#include "winport/loop/ServiceLoop.h"

namespace {

struct Counts {
    long started = 0;
    long completed = 0;
};

void OnProgress(int percentage, void*) {
    if (percentage < 0 || percentage >= 100)
        std::abort();
}

void OnComplete(uint32_t, const char* details, void* user) {
    if (!details)
        std::abort();
    ++static_cast<Counts*>(user)->completed;
}

// One pseudo-terminal for the whole run: the port on its terminal side, the
// master drained after each step as the device would read it.
int g_master = -1;
SerialPort* g_port = nullptr;

std::string DrainLine() {
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = read(g_master, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, static_cast<size_t>(n));
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    winport::ServiceLoop::Current().UseManualClock(1'000'000);
    g_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (g_master < 0 || grantpt(g_master) != 0 || unlockpt(g_master) != 0 ||
        ptsname_r(g_master, name, sizeof name) != 0)
        std::abort();
    g_port = new SerialPort;
    if (g_port->Open(name) != ERROR_SUCCESS)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    oskan::fuzz::Script script(data, size);
    std::vector<uint8_t> file(static_cast<size_t>(1 + script.Byte() % 20) * Xmodem::kShortBlock);
    for (size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<uint8_t>(i * 31);
    oskan::sim::SimSerialFaults faults;
    faults.nakBlock = script.Byte() % 4;
    faults.nakCount = script.Byte() % 12;
    faults.silentBlock = script.Byte() % 4;
    faults.silentCount = script.Byte() % 3;
    oskan::sim::SimXmodemReceiver receiver(faults);
    Counts counts;
    {
        XmodemSender sender(g_port, nullptr, &OnProgress, &OnComplete, &counts);
        if (sender.Start(file) == S_OK)
            ++counts.started;
        static const uint8_t kControls[] = {Xmodem::CRC_REQUEST, Xmodem::ACK, Xmodem::NAK, Xmodem::CAN,
                                            Xmodem::EOT,         Xmodem::SOH, Xmodem::STX};
        while (!script.Done()) {
            switch (script.Byte() % 8) {
                case 0: {
                    const std::string_view text = script.Text();
                    sender.OnReceive(reinterpret_cast<const uint8_t*>(text.data()), text.size());
                    break;
                }
                case 1: {
                    const uint8_t control = kControls[script.Byte() % sizeof kControls];
                    sender.OnReceive(&control, 1);
                    break;
                }
                case 2: {
                    // The device reads the line and answers.
                    const std::string line = DrainLine();
                    std::string answer;
                    receiver.Feed(reinterpret_cast<const uint8_t*>(line.data()), line.size(), answer);
                    if (script.Byte() & 1)
                        receiver.OnQuiet(answer);
                    sender.OnReceive(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
                    break;
                }
                case 3: {
                    const std::string_view text = script.Text();
                    std::string answer;
                    receiver.Feed(reinterpret_cast<const uint8_t*>(text.data()), text.size(), answer);
                    break;
                }
                case 4:
                    winport::ServiceLoop::Current().AdvanceClock(script.Byte() * 100u);
                    break;
                case 5:
                    sender.Cancel();
                    break;
                case 6:
                    if (sender.Start(file) == S_OK) {
                        ++counts.started;
                        receiver.Reset();
                    }
                    break;
                case 7:
                    if (sender.GetState() == XmodemSender::STATE_IDLE && counts.completed != counts.started)
                        std::abort();
                    break;
            }
            if (sender.BytesAccepted() > file.size() || receiver.Image().size() > file.size() * 2)
                std::abort();
        }
    }
    DrainLine();
    if (counts.completed != counts.started || !g_port->IsOpen())
        std::abort();
    return 0;
}

// The command target: commands, cancels and replies in any order; every
// accepted command completes exactly once, with its own reply or cancelled.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/SkCmdTarget.h"
#include "fuzz/FuzzSupport.h"
#include "winport/loop/ServiceLoop.h"

namespace {

struct Counts {
    long accepted = 0;
    long completed = 0;
};

void OnComplete(uint32_t error, const char* details, const char* response, int length, void* user, LONG) {
    auto* counts = static_cast<Counts*>(user);
    ++counts->completed;
    if (!details || length < 0 || (length > 0 && !response))
        std::abort();
    if (error != SkCmdTarget::kCompleted && error != SkCmdTarget::kCancelled)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    winport::ServiceLoop::Current().UseManualClock(1'000'000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    oskan::fuzz::Script script(data, size);
    oskan::fuzz::RecordingTransport transport;
    Counts counts;
    {
        SkCmdTarget target(&transport);
        while (!script.Done()) {
            switch (script.Byte() % 7) {
                case 0: {
                    std::string command(script.Text());
                    if (target.Send(command.data(), static_cast<int>(command.size()), &OnComplete, &counts,
                                    0) == S_OK)
                        ++counts.accepted;
                    break;
                }
                case 1:
                    target.Cancel();
                    break;
                case 2:
                    target.SetFlags(script.Byte() & SkCmdTarget::kFlagNoId);
                    break;
                case 3:
                    transport.Deliver(script.Text());
                    break;
                case 4:
                    transport.Deliver(std::string(script.Text()) + transport.LastIdSuffix());
                    break;
                case 5:
                    winport::ServiceLoop::Current().AdvanceClock(script.Byte() * 20u);
                    break;
                case 6:
                    if (counts.completed > counts.accepted)
                        std::abort();
                    break;
            }
        }
    }
    if (counts.completed != counts.accepted)
        std::abort();
    return 0;
}

// The debugger: calls and replies in every state, unsolicited state messages
// and the keep-alive timer, all in any order.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Mirel/MirelEvents.h"
#include "Mirel/mireldebuggee.h"
#include "fuzz/FuzzSupport.h"
#include "winport/loop/ServiceLoop.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    winport::ServiceLoop::Current().UseManualClock(1'000'000);
    return 0;
}

namespace {

void Call(MirelDebuggee& engine, oskan::fuzz::Script& script) {
    const uint8_t op = script.Byte();
    const ULONG address = script.Byte() << 8 | script.Byte();
    const ULONG length = script.Byte();
    uint8_t bytes[256] = {};
    switch (op % 20) {
        case 0:
            engine.BeginDebug();
            break;
        case 1:
            engine.EndDebug();
            break;
        case 2:
            engine.Cancel();
            break;
        case 3:
            engine.Synchronize();
            break;
        case 4:
            engine.Run();
            break;
        case 5:
            engine.Break();
            break;
        case 6:
            engine.RunTo(address);
            break;
        case 7:
            engine.Restart();
            break;
        case 8:
            engine.StepInstruction();
            break;
        case 9:
            engine.StepInto(address, length);
            break;
        case 10:
            engine.StepOver(address, length);
            break;
        case 11:
            engine.StepOut();
            break;
        case 12: {
            ULONG points[3] = {address, length, address + length};
            engine.SetCodeBreakpoints(points, static_cast<int>(length % 4));
            break;
        }
        case 13: {
            OSKAN_MEMORY_BREAKPOINT point{};
            engine.SetMemoryBreakpoints(&point, static_cast<int>(length % 2));
            break;
        }
        case 14:
            engine.SetRegisterValue(static_cast<int>(length % 6), static_cast<int>(address));
            break;
        case 15:
            engine.ReadMemory(address, length * 4, static_cast<LONG>(op));
            break;
        case 16:
            engine.ReadString(address, static_cast<LONG>(op));
            break;
        case 17:
            engine.ReadProperty(static_cast<int>(length), address, length, static_cast<LONG>(op));
            break;
        case 18:
            engine.WriteMemory(address, length, bytes);
            break;
        case 19:
            engine.CancelRead(static_cast<LONG>(length));
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    oskan::fuzz::Script script(data, size);
    oskan::fuzz::RecordingTransport transport;
    auto source = oskan::fuzz::EventSource::Create({IID__ISkDebuggeeEvents, DIID__ISkTrace});
    {
        MirelDebuggee engine(static_cast<IConnectionPointContainer*>(source.Get()), &transport,
                             source->Point(0), source->Point(1));
        while (!script.Done()) {
            switch (script.Byte() % 5) {
                case 0:
                    Call(engine, script);
                    break;
                case 1:
                    transport.Deliver(script.Text());
                    break;
                case 2:
                    transport.Deliver(std::string(script.Text()) + transport.LastIdSuffix());
                    break;
                case 3:
                    winport::ServiceLoop::Current().AdvanceClock(script.Byte() * 50u);
                    break;
                case 4: {
                    OSKAN_PCODE_MACHINE_STATE state{};
                    engine.GetPCodeMachineState(&state);
                    if (engine.OutstandingBlocks() > 0 && engine.OperationCount() == 0)
                        std::abort();
                    break;
                }
            }
        }
    }
    return 0;
}

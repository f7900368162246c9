// The loader: a fuzzed file (its application header included) and replies in
// every state; every upload that starts completes exactly once.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/skloader.h"
#include "fuzz/FuzzSupport.h"
#include "winport/loop/ServiceLoop.h"

namespace {

struct Counts {
    long started = 0;
    long completed = 0;
};

void OnProgress(int percentage, void*) {
    if (percentage < 0 || percentage > 100)
        std::abort();
}

void OnComplete(uint32_t, const char* details, void* user) {
    if (!details)
        std::abort();
    ++static_cast<Counts*>(user)->completed;
}

// A file of its own for each input: made with O_EXCL in a fresh name, so that
// nothing planted at a guessed path is followed or written through.
std::string WriteTemporaryFile(const std::vector<uint8_t>& bytes) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string path = std::string(tmpdir && *tmpdir == '/' ? tmpdir : "/tmp") + "/oskan-fuzz-loader-XXXXXX";
    int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return {};
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            close(fd);
            unlink(path.c_str());
            return {};
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        unlink(path.c_str());
        return {};
    }
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    winport::ServiceLoop::Current().UseManualClock(1'000'000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    oskan::fuzz::Script script(data, size);
    const int flags = script.Byte() & 15;
    // A few blocks, the header and its strings from the input, the rest zero.
    std::vector<uint8_t> file(static_cast<size_t>(1 + script.Byte() % 4) * SkLoader::kBlockSize);
    std::string_view head = script.Text();
    std::copy(head.begin(), head.begin() + static_cast<long>(std::min(head.size(), file.size())),
              file.begin());
    const std::string path = WriteTemporaryFile(file);
    if (path.empty())
        std::abort();

    oskan::fuzz::RecordingTransport transport;
    Counts counts;
    {
        SkLoader loader(&transport, nullptr, &OnProgress, &OnComplete, &counts);
        bool fixedNumbering = (flags & OLF_FIXED_FIRMWARE) != 0;
        if (loader.Load(path, flags) == S_OK)
            ++counts.started;
        while (!script.Done()) {
            switch (script.Byte() % 7) {
                case 0:
                    transport.Deliver(script.Text());
                    break;
                case 1:
                    transport.Deliver(std::string(script.Text()) + transport.LastIdSuffix());
                    break;
                case 2: {
                    // A block acknowledgement, for the block in flight or near it.
                    const int number = loader.CurrentBlock() + static_cast<int8_t>(script.Byte()) % 3;
                    const char ack[3] = {static_cast<char>(script.Byte()), static_cast<char>(number >> 8),
                                         static_cast<char>(number & 0xFF)};
                    const int state = loader.GetState();
                    const int block = loader.CurrentBlock();
                    transport.Deliver(std::string_view(ack, 3));
                    // An acceptance of any other block changes nothing (an error
                    // ends the upload whatever block it names).
                    int wire = static_cast<uint8_t>(ack[1]) << 8 | static_cast<uint8_t>(ack[2]);
                    if (fixedNumbering && wire != 0)
                        --wire;
                    if (state == SkLoader::STATE_SEND_BLOCKS && ack[0] == 'A' && wire != block &&
                        (loader.GetState() != state || loader.CurrentBlock() != block))
                        std::abort();
                    break;
                }
                case 3:
                    winport::ServiceLoop::Current().AdvanceClock(script.Byte() * 20u);
                    break;
                case 4:
                    loader.Cancel();
                    break;
                case 5: {
                    const int again = script.Byte() & 15;
                    if (loader.Load(path, again) == S_OK) {
                        ++counts.started;
                        fixedNumbering = (again & OLF_FIXED_FIRMWARE) != 0;
                    }
                    break;
                }
                case 6:
                    if (loader.GetState() == SkLoader::STATE_IDLE && counts.completed != counts.started)
                        std::abort();
                    break;
            }
        }
    }
    unlink(path.c_str());
    if (counts.completed != counts.started)
        std::abort();
    return 0;
}

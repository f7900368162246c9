// skos-sim as a program: its device lines, its answers, its exit on a signal,
// and its refusal of bad options. Runs inside the test's network namespace.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "sim/SimServer.h"
#include "tests/sim/HostSocket.h"

namespace oskan::sim {
namespace {

using test::HostReply;
using test::HostSocket;

constexpr int kPatienceMs = 10000;  // real time; only reached when something is broken

// One run of skos-sim with its standard output and error on pipes.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args) {
        args.insert(args.begin(), SKOS_SIM_PATH);
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            std::vector<char*> argv;
            for (std::string& arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
        m_pidFd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
    }
    ~SimProcess() {
        if (m_pid > 0 && m_status < 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_out, m_err, m_pidFd})
            if (fd >= 0)
                close(fd);
    }

    bool Started() const { return m_pid > 0 && m_pidFd >= 0; }
    void Signal(int signal) const { kill(m_pid, signal); }

    // Reads standard output until it holds count lines.
    std::vector<std::string> ReadLines(size_t count) {
        while (CountLines() < count && Wait(m_out, m_outText)) {
        }
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end; (end = m_outText.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(m_outText.substr(start, end - start));
        return lines;
    }

    // The exit code, once the process has ended; -1 when it did not end in time.
    int ExitCode() {
        pollfd ready{m_pidFd, POLLIN, 0};
        if (poll(&ready, 1, kPatienceMs) != 1)
            return -1;
        int status = 0;
        if (waitpid(m_pid, &status, 0) != m_pid)
            return -1;
        m_status = status;
        while (Wait(m_err, m_errText)) {
        }
        while (Wait(m_out, m_outText)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& Output() const { return m_outText; }
    const std::string& Errors() const { return m_errText; }

private:
    size_t CountLines() const {
        size_t n = 0;
        for (char c : m_outText)
            n += c == '\n';
        return n;
    }
    // Appends what the pipe has; false at its end or when nothing came in time.
    bool Wait(int fd, std::string& text) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, kPatienceMs) != 1)
            return false;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        text.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_pidFd = -1;
    int m_out = -1;
    int m_err = -1;
    int m_status = -1;
    std::string m_outText;
    std::string m_errText;
};

TEST(SkosSimProgram, ListsItsDevicesAnswersAndEndsOnSigterm) {
    SimProcess sim({"--devices", "3", "--first-mac", "2.0.0.1.2.254", "--project", "Boiler", "--mode",
                    "stopped-idle,file-error", "--version", "3.51", "--build-id", "b12"});
    ASSERT_TRUE(sim.Started());
    std::vector<std::string> lines = sim.ReadLines(3);
    ASSERT_EQ(lines.size(), 3u) << sim.Output();
    EXPECT_EQ(lines[0], "2.0.0.1.2.254 127.0.0.2 Boiler-1 stopped-idle");
    EXPECT_EQ(lines[1], "2.0.0.1.2.255 127.0.0.3 Boiler-2 file-error");
    EXPECT_EQ(lines[2], "2.0.0.1.3.0 127.0.0.4 Boiler-3 stopped-idle");

    HostSocket host;
    ASSERT_TRUE(host.Broadcast("_?"));
    std::set<std::string> echoes;
    for (int i = 0; i < 3; ++i)
        if (auto reply = host.Receive(kPatienceMs))
            echoes.insert(reply->text + " " + reply->from);
    EXPECT_EQ(echoes, (std::set<std::string>{"[2.0.0.1.2.254] 127.0.0.2", "[2.0.0.1.2.255] 127.0.0.3",
                                             "[2.0.0.1.3.0] 127.0.0.4"}));

    ASSERT_TRUE(host.Broadcast("_[2.0.0.1.2.255]X|00000101"));
    auto version = host.Receive(kPatienceMs);
    ASSERT_TRUE(version);
    EXPECT_EQ(version->text, "[2.0.0.1.2.255]A3.51/b12/Boiler-2|00000101");
    ASSERT_TRUE(host.Broadcast("_[2.0.0.1.2.255]PC|00000102"));
    auto state = host.Receive(kPatienceMs);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->text, "[2.0.0.1.2.255]AE**/00 A:0000 B:0000 PC:0000 SP:f000 FL:***/0|00000102");

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.ExitCode(), 0) << sim.Errors();
}

TEST(SkosSimProgram, EndsOnSigintAndAppliesFaultOptions) {
    SimProcess sim({"--devices", "2", "--silent", "X", "--duplicate", "1"});
    ASSERT_TRUE(sim.Started());
    ASSERT_EQ(sim.ReadLines(2).size(), 2u) << sim.Output();
    HostSocket host;
    // The program answers in order, so a reply to the silenced "X" would come
    // before the two copies of the "PC" reply.
    ASSERT_TRUE(host.Broadcast("_[2.0.0.1.2.3]X|00000001"));
    ASSERT_TRUE(host.Broadcast("_[2.0.0.1.2.3]PC|00000002"));
    for (int copy = 0; copy < 2; ++copy) {
        auto reply = host.Receive(kPatienceMs);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->text, "[2.0.0.1.2.3]A*R*/00 A:0000 B:0000 PC:0000 SP:f000 FL:***/0|00000002");
    }
    sim.Signal(SIGINT);
    EXPECT_EQ(sim.ExitCode(), 0) << sim.Errors();
    EXPECT_FALSE(host.TryReceive());
}

TEST(SkosSimProgram, ServersAnswerOnTheirOwnPortFromTheirOwnAddresses) {
    SimProcess sim({"--devices", "0", "--servers", "2", "--password", "-,pw", "--direct-access", "1,0",
                    "--description", "Press", "--location", "Hall 2"});
    ASSERT_TRUE(sim.Started());
    std::vector<std::string> lines = sim.ReadLines(2);
    ASSERT_EQ(lines.size(), 2u) << sim.Output();
    EXPECT_EQ(lines[0], "00-90-E8-00-00-01 127.1.0.2 Press-1 direct");
    EXPECT_EQ(lines[1], "00-90-E8-00-00-02 127.1.0.3 Press-2 broadcast password");

    HostSocket host;
    ASSERT_TRUE(host.Broadcast("#?", kServerPort));
    std::set<std::string> answers;
    for (int i = 0; i < 2; ++i) {
        if (auto reply = host.Receive(kPatienceMs)) {
            // Up to the uptime, which runs on.
            size_t cut = 0;
            for (int field = 0; field < 4; ++field)
                cut = reply->text.find('\t', cut + 1);
            answers.insert(reply->text.substr(0, cut) + " " + reply->from);
        }
    }
    EXPECT_EQ(answers, (std::set<std::string>{"#[00-90-E8-00-00-01]I127.1.0.2\t2.10\t1\t0 127.1.0.2",
                                              "#[00-90-E8-00-00-02]I127.1.0.3\t2.10\t0\t1 127.1.0.3"}));
    // At its address, the protected server refuses a wrong password.
    ASSERT_TRUE(host.SendTo("#[*]Lno|00000001", *ParseIpv4("127.1.0.3"), kServerPort));
    auto refused = host.Receive(kPatienceMs);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->text, "#[00-90-E8-00-00-02]D|00000001");
    // No SkOS device listens.
    ASSERT_TRUE(host.Broadcast("_?"));
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.ExitCode(), 0) << sim.Errors();
    EXPECT_FALSE(host.TryReceive());
}

TEST(SkosSimProgram, HelpAndBadOptions) {
    SimProcess help({"--help"});
    ASSERT_TRUE(help.Started());
    EXPECT_EQ(help.ExitCode(), 0);
    EXPECT_NE(help.Output().find("--first-mac"), std::string::npos);

    SimProcess bad({"--devices", "2", "--mode", "asleep"});
    ASSERT_TRUE(bad.Started());
    EXPECT_EQ(bad.ExitCode(), 2);
    EXPECT_NE(bad.Errors().find("asleep"), std::string::npos) << bad.Errors();
    EXPECT_TRUE(bad.Output().empty());
}

}  // namespace
}  // namespace oskan::sim

#pragma once
// Serial peers that no one here wrote, for tests and benchmarks: a pair of
// pseudo-terminals joined by socat, and child programs (lrzsz's rx and sx)
// whose line is one end of the pair. Nothing waits by sleeping: the pair is
// ready when socat has said so, a child has ended when its pidfd says so.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace oskan::test {

// A started program; killed and reaped with the object.
class ChildProgram {
public:
    ChildProgram() = default;
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    ~ChildProgram() {
        Kill(SIGKILL);
        WaitExit(10000);
    }

    // Runs argv with the three descriptors as its stdin, stdout and stderr,
    // in the folder given (or this one).
    bool Start(const std::vector<std::string>& argv, int in, int out, int err,
               const std::string& folder = {}) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!folder.empty())
            posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        posix_spawn_file_actions_adddup2(&actions, in, 0);
        posix_spawn_file_actions_adddup2(&actions, out, 1);
        posix_spawn_file_actions_adddup2(&actions, err, 2);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        const int rc = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            m_pid = -1;
            return false;
        }
        m_pidFd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        return true;
    }
    void Kill(int signal) {
        if (m_pid > 0 && !m_status)
            kill(m_pid, signal);
    }
    // The wait status once the program has ended, nothing after timeoutMs.
    std::optional<int> WaitExit(int timeoutMs) {
        if (m_status || m_pid <= 0)
            return m_status;
        if (m_pidFd >= 0) {
            pollfd ended{m_pidFd, POLLIN, 0};
            if (poll(&ended, 1, timeoutMs) <= 0)
                return std::nullopt;
        }
        int status = 0;
        if (waitpid(m_pid, &status, 0) == m_pid)
            m_status = status;
        if (m_pidFd >= 0)
            close(m_pidFd);
        m_pidFd = -1;
        return m_status;
    }
    int Descriptor() const { return m_pidFd; }

private:
    pid_t m_pid = -1;
    int m_pidFd = -1;
    std::optional<int> m_status;
};

// A pseudo-terminal whose bytes socat carries to and from a program of its
// own (lrzsz's rx), which talks over a socket pair: a terminal would take the
// program's last answer with it when the program restores its settings on
// exit, before socat had read it.
class SocatPty {
public:
    ~SocatPty() {
        m_socat.Kill(SIGTERM);
        m_socat.WaitExit(5000);
        if (m_log >= 0)
            close(m_log);
    }
    // Runs the command line in the folder, behind a new terminal.
    bool Start(const std::string& command, const std::string& folder) {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0)
            return false;
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        const bool started =
            m_socat.Start({"/usr/bin/socat", "-d", "-d", "pty,raw,echo=0", "EXEC:" + command}, null, null,
                          pipeFds[1], folder);
        close(null);
        close(pipeFds[1]);
        m_log = pipeFds[0];
        if (!started)
            return false;
        // socat names the terminal ("... PTY is /dev/pts/N"), then says when
        // it carries bytes.
        std::string text;
        for (;;) {
            const size_t ready = text.find("starting data transfer loop");
            const size_t named = text.find("PTY is ");
            if (ready != std::string::npos && named != std::string::npos) {
                const size_t end = text.find('\n', named);
                m_path = text.substr(named + 7, end - named - 7);
                return true;
            }
            pollfd readable{m_log, POLLIN, 0};
            if (poll(&readable, 1, 10000) <= 0)
                return false;
            char buffer[512];
            const ssize_t n = read(m_log, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            text.append(buffer, static_cast<size_t>(n));
        }
    }
    const std::string& Path() const { return m_path; }
    ChildProgram& Program() { return m_socat; }

private:
    ChildProgram m_socat;
    int m_log = -1;
    std::string m_path;
};

// lrzsz's XMODEM receiver (CRC, binary) writing `file` in the folder it runs in.
inline std::string RxCommand(const std::string& file) {
    return "/usr/bin/rx -c -b -q " + file;
}

}  // namespace oskan::test

#pragma once
// Runs Tests/Fixtures/http_server.py on 127.0.0.1 for the length of a test and stops it afterwards.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

class CKZTestHttpServer
{
public:
    // Writes a self-signed certificate for 127.0.0.1 and its key (for "--tls CERT KEY"); true when made.
    static bool MakeCertificate(const std::string& strCert, const std::string& strKey)
    {
        const std::string strCommand = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
                                       " -addext subjectAltName=IP:127.0.0.1 -keyout " +
                                       strKey + " -out " + strCert + " 2>/dev/null";
        return system(strCommand.c_str()) == 0;
    }

    // Starts the server over a directory with extra switches ("--rule", "ANY:*:nolm", "--keep-alive").
    explicit CKZTestHttpServer(const std::string& strRoot, std::vector<std::string> vecSwitches = {})
    {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            return;
        std::vector<std::string> vecArgs = {"python3", KZ_SOURCE_DIR "/Tests/Fixtures/http_server.py", strRoot};
        vecArgs.insert(vecArgs.end(), vecSwitches.begin(), vecSwitches.end());
        m_pid = fork();
        if (m_pid == 0)
        {
            dup2(pipeFds[1], 1);
            close(pipeFds[0]);
            close(pipeFds[1]);
            std::vector<char*> argv;
            for (std::string& strArg : vecArgs)
                argv.push_back(&strArg[0]);
            argv.push_back(nullptr);
            execvp("python3", argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        ReadPort(pipeFds[0]);
        close(pipeFds[0]);
    }
    ~CKZTestHttpServer()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    CKZTestHttpServer(const CKZTestHttpServer&) = delete;
    CKZTestHttpServer& operator=(const CKZTestHttpServer&) = delete;

    int Port() const { return m_port; }
    // "127.0.0.1:PORT", the form the installer takes as its server.
    std::string Host() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::string Url(const std::string& strPath) const { return "http://" + Host() + "/" + strPath; }
    // A server over the same directory with one rule for every request of a path ("*": any).
    static std::vector<std::string> Rule(const std::string& strRule) { return {"--rule", strRule}; }

private:
    // Waits at most ten seconds for the line "PORT <n>".
    void ReadPort(int fd)
    {
        std::string strLine;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (strLine.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline)
        {
            pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0)
                continue;
            char buffer[64];
            const ssize_t n = read(fd, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            strLine.append(buffer, static_cast<size_t>(n));
        }
        if (sscanf(strLine.c_str(), "PORT %d", &m_port) != 1)
            m_port = 0;
    }

    pid_t m_pid = -1;
    int m_port = 0;
};

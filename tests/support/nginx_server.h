// A real nginx on loopback for tests: serves a directory on a free port, as the current user, with its
// configuration, pid file, logs and temporary files in a directory of its own. Stopped and cleaned up
// in the destructor.
#pragma once

#include "tests/support/server_process.h"

#include <grp.h>
#include <pwd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace pc::test {

struct NginxOptions {
    // Extra directives inside the server block, e.g. locations that redirect.
    std::string serverDirectives;
    // Serve HTTPS with a freshly made self-signed certificate for 127.0.0.1 (made with the openssl tool);
    // a test trusts it through the file CertificateFile() names.
    bool tls = false;
    // Extra directives in the http block, before the server: a cache's proxy_cache_path, a limit_req zone.
    std::string httpDirectives = {};
    // Connections its one worker takes at once; many clients at once need more.
    int workerConnections = 64;
    // Take every waiting connection at each wake-up, so that requests that waited together are judged in the
    // same moment (limit_req counts them against one instant) however little CPU the worker gets.
    bool acceptAllAtOnce = false;
};

class NginxServer {
public:
    explicit NginxServer(std::filesystem::path root, NginxOptions options = {})
        : root_(std::filesystem::absolute(std::move(root))), options_(std::move(options)) {
        BypassProxiesForLoopback();
        char pattern[] = "/tmp/pc-nginx-XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            throw std::runtime_error("cannot make a directory for nginx");
        stateDir_ = pattern;
        if (options_.tls)
            MakeCertificate();
        std::string lastError;
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = FreeLoopbackPort();
            WriteConfig();
            if (TryStart(lastError))
                return;
        }
        std::error_code ignored;
        std::filesystem::remove_all(stateDir_, ignored);
        throw std::runtime_error("nginx did not start: " + lastError);
    }

    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    ~NginxServer() {
        process_.Stop();
        std::error_code ignored;
        std::filesystem::remove_all(stateDir_, ignored);
    }

    int Port() const { return port_; }
    // The URL of `path` (starting with '/') on this server.
    std::string Url(const std::string& path) const {
        return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
    }
    const std::filesystem::path& Root() const { return root_; }
    const std::filesystem::path& StateDir() const { return stateDir_; }
    std::string CertificateFile() const { return (stateDir_ / "cert.pem").string(); }

    // Holds nginx (its master and worker) where it stands: new connections wait in its listen queue until
    // it goes on, so that clients started one by one reach it in the same moment.
    void Hold() { SignalAll(SIGSTOP); }
    void GoOn() { SignalAll(SIGCONT); }
    // The connections waiting in the listen queue.
    int WaitingConnections() const {
        std::ifstream tcp("/proc/net/tcp");
        std::string line;
        std::getline(tcp, line);
        while (std::getline(tcp, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues;
            fields >> slot >> local >> remote >> state >> queues;
            if (state == "0A" && std::stoi(local.substr(local.find(':') + 1), nullptr, 16) == port_)
                return std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
        }
        return 0;
    }

private:
    void SignalAll(int number) {
        const pid_t master = process_.Pid();
        std::ifstream children("/proc/" + std::to_string(master) + "/task/" + std::to_string(master) +
                               "/children");
        for (pid_t worker = 0; children >> worker;)
            ::kill(worker, number);
        ::kill(master, number);
    }

    void MakeCertificate() {
        const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                                    "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
                                    (stateDir_ / "key.pem").string() + "' -out '" +
                                    (stateDir_ / "cert.pem").string() + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("openssl could not make a test certificate");
    }

    void WriteConfig() {
        const std::string state = stateDir_.string();
        std::ofstream conf(stateDir_ / "nginx.conf", std::ios::trunc);
        conf << "daemon off;\n"
             << "worker_processes 1;\n"
             << "pid " << state << "/nginx.pid;\n"
             << "error_log " << state << "/error.log warn;\n";
        // As root nginx would hand its workers to an unprivileged account that may not read the test
        // directories; keep them as the current user.
        if (::geteuid() == 0) {
            const passwd* user = ::getpwuid(::geteuid());
            const group* grp = ::getgrgid(::getegid());
            conf << "user " << (user != nullptr ? user->pw_name : "root") << ' '
                 << (grp != nullptr ? grp->gr_name : "root") << ";\n";
        }
        conf << "events { worker_connections " << options_.workerConnections << ";"
             << (options_.acceptAllAtOnce ? " multi_accept on;" : "") << " }\n"
             << "http {\n"
             // One line a request: the request, its status, the body bytes sent and the connection's
             // serial number, so that tests can count bytes served and connections opened.
             << "  log_format pc '\"$request\" $status $body_bytes_sent connection=$connection';\n"
             << "  access_log " << state << "/access.log pc;\n"
             << "  client_body_temp_path " << state << "/client_body;\n"
             << "  proxy_temp_path " << state << "/proxy;\n"
             << "  fastcgi_temp_path " << state << "/fastcgi;\n"
             << "  uwsgi_temp_path " << state << "/uwsgi;\n"
             << "  scgi_temp_path " << state << "/scgi;\n"
             << "  default_type application/octet-stream;\n"
             << "  sendfile on;\n"
             << options_.httpDirectives << "\n"
             << "  server {\n"
             << "    listen 127.0.0.1:" << port_ << (options_.tls ? " ssl" : "") << ";\n"
             << "    server_name localhost;\n"
             << "    root " << root_.string() << ";\n";
        if (options_.tls)
            conf << "    ssl_certificate " << state << "/cert.pem;\n"
                 << "    ssl_certificate_key " << state << "/key.pem;\n";
        conf << options_.serverDirectives << "\n"
             << "  }\n"
             << "}\n";
    }

    bool TryStart(std::string& error) {
        const std::string state = stateDir_.string();
        std::error_code ignored;
        std::filesystem::remove(stateDir_ / "nginx.pid", ignored);
        process_.Start({"nginx", "-p", state + "/", "-c", state + "/nginx.conf", "-e", state + "/error.log"});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < deadline) {
            if (process_.HasEnded()) {
                std::ifstream log(stateDir_ / "error.log");
                std::stringstream text;
                text << log.rdbuf();
                error = text.str();
                return false;
            }
            // nginx writes its pid file once it holds its port: before that, whatever answers on the port
            // may be another program that took it meanwhile (other test runs share the machine).
            if (std::filesystem::exists(stateDir_ / "nginx.pid") && LoopbackPortAnswers(port_))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        process_.Stop();
        error = "no answer within 15 s";
        return false;
    }

    std::filesystem::path root_;
    NginxOptions options_;
    std::filesystem::path stateDir_;
    int port_ = 0;
    ServerProcess process_;
};

} // namespace pc::test

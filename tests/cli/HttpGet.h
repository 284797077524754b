#pragma once
// A plain HTTP/1.0 GET on the loopback interface, for tests that talk to a local server, and a
// free local port for servers the tests start.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace joulix::testing {

// The IPv4 loopback address at `port`.
inline sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

struct HttpResponse {
    int status = 0;
    std::string body;
};

// Absent when the server cannot be reached or answers nothing within 5 s.
inline std::optional<HttpResponse> httpGet(int port, const std::string& target) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address = loopback(port);
    std::string response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
            char buffer[8192];
            for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                response.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    const auto headerEnd = response.find("\r\n\r\n");
    if (response.rfind("HTTP/", 0) != 0 || headerEnd == std::string::npos) return std::nullopt;
    return HttpResponse{std::stoi(response.substr(response.find(' ') + 1)),
                        response.substr(headerEnd + 4)};
}

// A port no one listens on now (the kernel's choice for port 0).
inline int freeLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace joulix::testing

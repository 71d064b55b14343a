// Holds hostile connections open against an HTTP server for the front benchmark: some send
// a request that never ends, a byte a second, and the rest send nothing. A connection the
// server closes is opened again at once, as an attacker would.
//   larkspin-slowclients PORT TRICKLING IDLE SECONDS
// Sources are spread over 127.0.0.2 onwards, 250 connections per address. Prints, once a
// second, how many are open and how many the server has closed so far.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Client
{
    int fd = -1;
    bool trickling = false;
    in_addr source{};
    size_t sent = 0;
};

int openConnection(const Client &client, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = client.source;
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(uint16_t(port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0
        || (::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0
            && errno != EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Closed by the server: a read gives end of file or an error other than "try again".
bool isClosed(int fd)
{
    char byte;
    const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: larkspin-slowclients PORT TRICKLING IDLE SECONDS\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int trickling = std::atoi(argv[2]);
    const int idle = std::atoi(argv[3]);
    const int seconds = std::atoi(argv[4]);
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(100000, 'a');

    std::vector<Client> clients(size_t(trickling + idle));
    for (size_t i = 0; i < clients.size(); ++i) {
        clients[i].trickling = int(i) < trickling;
        clients[i].source.s_addr = htonl((127u << 24) + 2 + uint32_t(i / 250));
        clients[i].fd = openConnection(clients[i], port);
    }
    long closedByServer = 0;
    const auto started = std::chrono::steady_clock::now();
    for (int second = 1; second <= seconds; ++second) {
        std::this_thread::sleep_until(started + std::chrono::seconds(second));
        int open = 0;
        for (Client &client : clients) {
            if (client.fd >= 0 && isClosed(client.fd)) {
                ::close(client.fd);
                client.fd = -1;
                client.sent = 0;
                ++closedByServer;
            }
            if (client.fd < 0)
                client.fd = openConnection(client, port);
            if (client.fd < 0)
                continue;
            ++open;
            if (client.trickling
                && ::send(client.fd, request.data() + client.sent, 1, MSG_NOSIGNAL) == 1)
                ++client.sent;
        }
        std::printf("slow clients: %d s, %d open, %ld closed by the server\n", second, open,
                    closedByServer);
        std::fflush(stdout);
    }
    for (Client &client : clients) {
        if (client.fd >= 0)
            ::close(client.fd);
    }
    return 0;
}

// A bare client of the feed for the other-user test: connects to the socket
// named by its argument and says by its status what the owner did.
//   0  bytes came   1  connect failed   2  closed without a byte
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "feed_socket.h"

int main(int argc, char** argv)
{
    sockaddr_un address{};
    if (argc != 2 || !karvolen::feed::SocketAddress(argv[1], address)) return 3;
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::printf("feed_peer: connect: %s\n", std::strerror(errno));
        return 1;
    }
    pollfd p{fd, POLLIN, 0};
    char byte;
    if (poll(&p, 1, 5000) != 1) return 4;
    return recv(fd, &byte, 1, 0) == 1 ? 0 : 2;
}

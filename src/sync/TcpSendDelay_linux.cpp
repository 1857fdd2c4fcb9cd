#include "TcpSendDelay.h"

#include <QDebug>

#include <cstdlib>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tcp {
namespace {

quint16 peerPortOf(int fd)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        return 0;
    if (peer.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
    if (peer.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port);
    return 0;
}

} // namespace

// Qt hands out no socket of its HTTP connections, so they are found among the process's own
// descriptors. Another thread may close one meanwhile; setting the option on whatever the
// number then stands for is harmless, and a failure only leaves the delay in place.
void sendWithoutDelayTo(quint16 peerPort)
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir) {
        static bool logged = false;
        if (!logged)
            qWarning() << "tcp::sendWithoutDelayTo: /proc/self/fd unreadable -> request bodies may wait for"
                       << "the server's acknowledgements";
        logged = true;
        return;
    }
    const int own = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || number == own)
            continue;
        const int fd = int(number);
        int type = 0;
        socklen_t size = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM || peerPortOf(fd) != peerPort)
            continue;
        int on = 0;
        size = sizeof on;
        if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &size) == 0 && on == 0) {
            on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
    }
    closedir(dir);
}

} // namespace tcp

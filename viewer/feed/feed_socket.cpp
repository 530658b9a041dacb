#include "feed_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace karvolen::feed {

PathResult FeedSocketPath()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    // Only a per-user folder is a fit home; /tmp is shared, hence the uid in
    // the name and PrepareFolder's refusal of a folder someone else made.
    const std::string dir = runtime != nullptr && runtime[0] == '/'
                                ? std::string(runtime) + "/karvolen"
                                : "/tmp/karvolen-" + std::to_string(geteuid());
    std::string error = PrepareFolder(dir);
    if (!error.empty()) return {"", std::move(error)};
    return {dir + "/feed", ""};
}

std::string PrepareFolder(const std::string& dir)
{
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return "cannot create " + dir + ": " + std::strerror(errno);
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) return "cannot examine " + dir + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return dir + " is not a folder";
    if (st.st_uid != geteuid()) return dir + " belongs to another user";
    if ((st.st_mode & 077) != 0) return dir + " is open to other users";
    return "";
}

bool SocketAddress(const std::string& path, sockaddr_un& address)
{
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool PeerIsOwnUser(int fd)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && length == sizeof peer &&
           peer.uid == geteuid();
}

}  // namespace karvolen::feed

// Where the picture feed's socket lives and who may use it: the owner's user
// alone, by the folder's permissions and by each peer's credentials.
#pragma once

#include <sys/un.h>

#include <string>

namespace karvolen::feed {

struct PathResult {
    std::string path;
    std::string error;  // why there is no usable path; empty when there is
    bool ok() const { return error.empty(); }
};

// The feed's socket: `feed` in $XDG_RUNTIME_DIR/karvolen, or without an
// absolute XDG_RUNTIME_DIR in /tmp/karvolen-<uid>. The folder is made (0700)
// when missing and checked with PrepareFolder.
PathResult FeedSocketPath();

// Creates `dir` with mode 0700 when it is missing (its parent must exist),
// then refuses it unless it is a directory, not a link, owned by this user and
// closed to group and others. Returns the reason, empty when it is fit.
std::string PrepareFolder(const std::string& dir);

// The socket address of `path`; false when the path is too long for one.
bool SocketAddress(const std::string& path, sockaddr_un& address);

// Whether the process at the other end of the connected Unix socket `fd` ran
// as this process's user when it connected.
bool PeerIsOwnUser(int fd);

}  // namespace karvolen::feed

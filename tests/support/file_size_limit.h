// A full disk as a test can make one: a file size limit, with SIGXFSZ
// ignored as the programs ignore it, so a write past it fails with EFBIG.
// Both are put back when the limit goes.
#pragma once

#include <csignal>
#include <sys/resource.h>

namespace karvolen::testing {

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &oldAction_);
        getrlimit(RLIMIT_FSIZE, &before_);
        const rlimit limited{bytes, before_.rlim_max};
        set_ = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &before_);
        sigaction(SIGXFSZ, &oldAction_, nullptr);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    // The limit is in force.
    bool Set() const { return set_; }

private:
    struct sigaction oldAction_ {};
    rlimit before_{};
    bool set_ = false;
};

}  // namespace karvolen::testing

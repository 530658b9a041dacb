#include "recording_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace karvolen::record {

Session::Session(std::string path, Existing existing) : path_(std::move(path)), existing_(existing) {}

void Session::Discard()
{
    // Closes the file where a refused picture left it open; nothing was
    // recorded, so nothing is written.
    recorder_.Finish(0.0);
    // The empty file only: never a device chosen as the name, nor a file
    // another program has written there meanwhile.
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
        unlink(path_.c_str());
    }
}

Result Session::Add(const ShownPicture& picture, double seconds)
{
    if (!kept_ && !ended_) {
        if (Result opened = recorder_.Open(path_, existing_); !opened.ok()) {
            ended_ = true;
            return opened;
        }
    }
    // Ended: the recorder has no file open and says so.
    const Result r = recorder_.Add(picture, seconds);
    if (r.ok()) {
        kept_ = true;
    } else if (!kept_ && !ended_) {
        Discard();
        ended_ = r.status != Result::Status::kBadPicture;
    } else if (r.status == Result::Status::kWriteFailed) {
        ended_ = true;
    }
    return r;
}

Result Session::Finish(double seconds)
{
    if (ended_) {
        return recorder_.Finish(seconds);
    }
    ended_ = true;
    if (!kept_) {
        return {Result::Status::kNothingRecorded, kNothingRecordedReason};
    }
    return recorder_.Finish(seconds);
}

}  // namespace karvolen::record

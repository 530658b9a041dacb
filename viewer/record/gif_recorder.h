// Recording the pictures the window shows into an animated GIF, streamed to
// disk one frame at a time. No Qt: the window and a command-line capture share
// it. One recorder is meant for one thread at a time.
//
// The file, at every moment after the first Add:
//   - a complete GIF: header with the first picture's colours as the global
//     table, a loop-forever extension, the frames recorded so far, the trailer.
//     A new frame goes behind the trailer first and becomes part of the file
//     only when its first byte overwrites the old trailer, so a kill or a
//     failed write at any point leaves every earlier frame readable (after a
//     kill, bytes of the unfinished frame may follow the trailer, where
//     readers stop).
//   - palette indices and colours as the instrument sent them: a frame whose
//     colours differ from the global table carries its own table.
//   - a line delta adds only the rectangle its changed pixels span within
//     the band, the unchanged pixels in it see-through when the changed ones
//     leave a colour index free; a picture without a change adds nothing but
//     lengthens the frame before it.
//   - each frame lasts until the next picture, in centiseconds counted from
//     the first picture (rounding never adds up). The delay is written when
//     the frame is and patched in place as later pictures come, unchanged ones
//     too, so after a kill the last frame lasts until the last picture seen
//     (0 when none came after it: viewers then show it briefly). A gap longer
//     than one frame can say (655.35 s) is continued by invisible 1 x 1 frames,
//     so the timing stays real.
//   - a width change keeps recording: the logical screen grows to the widest
//     picture so far (patched in the header); a picture narrower than the
//     screen after a wider one is written screen-wide, its columns past its
//     own width in colour index 0.
// Memory stays flat: the last picture and one frame's encoded bytes are held,
// nothing per frame. record::Session keeps the file's life around it: created
// at the first picture, removed when it kept none.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "shown_picture.h"

namespace karvolen::record {

using wire::kPictureHeight;

struct Result {
    enum class Status {
        kOk,
        // Open: the file could not be created; reason has strerror's text.
        kOpenFailed,
        // Open: a file of that name is there and replacing it was not asked
        // for; it was not touched.
        kExists,
        // A write to the file failed (full disk, file size limit with SIGXFSZ
        // ignored, ...; reason has strerror's text) or giflib could not encode
        // (reason has giflib's text). The file holds every frame completed
        // before, with the trailer, and is closed: the recording has ended.
        kWriteFailed,
        // The picture does not fit its description (width not positive or
        // over 65535, fewer pixels than width x kPictureHeight, a band outside
        // the picture); nothing was written, the recording goes on.
        kBadPicture,
        // Finish before any picture: the file stays empty and is closed.
        kNothingRecorded,
        // No recording is open (never opened, finished, or ended by a failed
        // write); nothing was done.
        kNotRecording,
    };
    Status status = Status::kOk;
    std::string reason;  // readable, empty for kOk

    bool ok() const { return status == Status::kOk; }
};

inline constexpr char kNothingRecordedReason[] = "No picture was recorded";

// What Open does with a file that is there already.
enum class Existing {
    kReplace,
    // Refused, also when it appears between a check and the creation.
    kRefuse,
};

class GifRecorder {
public:
    GifRecorder();
    // Closes the file without patching anything: it keeps every frame, the
    // last one with the delay it had at the last Add.
    ~GifRecorder();
    GifRecorder(const GifRecorder&) = delete;
    GifRecorder& operator=(const GifRecorder&) = delete;

    // Creates `path` for a new recording, truncating a file that is there
    // or refusing it (kExists) as `existing` says; nothing is written until
    // the first Add. A recording still open is closed first as the
    // destructor does.
    Result Open(const std::string& path, Existing existing = Existing::kReplace);

    // Adds the picture shown at `seconds` (a steady clock, any origin; a time
    // before the previous picture's counts as the same time). The frame
    // before it gets its delay up to `seconds`.
    Result Add(const ShownPicture& frame, double seconds);

    // Ends the recording at `seconds`: the last frame lasts until then; the
    // file is closed.
    Result Finish(double seconds);

private:
    struct Recording;
    std::unique_ptr<Recording> rec_;  // while a recording is open
};

}  // namespace karvolen::record

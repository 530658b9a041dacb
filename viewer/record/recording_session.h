// One recording as the window and the capture keep it, from the first
// picture to its end, around a GifRecorder.
//
// The file, at every moment between calls:
//   - absent until the first picture is recorded into it; a file of that
//     name that was there before is replaced or refused as `existing` says;
//   - from then on the recorder's complete GIF, with at least that picture;
//   - never empty: when the first picture cannot be written, the file made
//     for it is removed again.
#pragma once

#include <string>

#include "gif_recorder.h"

namespace karvolen::record {

class Session {
public:
    Session(std::string path, Existing existing);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Adds the picture shown at `seconds` (as GifRecorder::Add). The first
    // creates the file: kOpenFailed or kExists end the recording. A
    // kWriteFailed ends it too; a kBadPicture first picture leaves no file,
    // and the next picture tries again.
    Result Add(const ShownPicture& picture, double seconds);

    // Ends the recording at `seconds`: GifRecorder::Finish's result, the file
    // complete on kOk. kNothingRecorded when no picture was recorded (no file
    // is left); kNotRecording once a failed Add or Finish has ended it.
    Result Finish(double seconds);

private:
    // Closes and removes the file made for a first picture that failed.
    void Discard();

    std::string path_;
    Existing existing_;
    GifRecorder recorder_;
    bool kept_ = false;   // the file holds a picture
    bool ended_ = false;  // by a failure or Finish
};

}  // namespace karvolen::record

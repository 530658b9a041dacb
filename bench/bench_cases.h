// Shared between the decoder and the drawing benchmarks.
#pragma once

#include <cstddef>
#include <string>

namespace benchbench {

// Registers "<name>/memcpy", a memcpy of `bytes` bytes, as the partner of <name>.
void RegisterMemcpy(const std::string& name, size_t bytes);
void RecordPair(const std::string& name, size_t bytes);

// The drawing step.
void RegisterDrawing();

// Adding a picture to a recording.
void RegisterRecording();

}  // namespace benchbench

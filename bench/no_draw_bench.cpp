#include "bench_cases.h"

namespace benchbench {

void RegisterDrawing() {}

}  // namespace benchbench

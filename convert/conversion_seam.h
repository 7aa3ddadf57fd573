// conversion_seam.h -- a hook into the run for the tests alone: the programs never include it.
// It lets a test spoil the compacted catalogue between the compaction and the check that comes
// before the rename, to see the check refuse it.
#pragma once

#include <functional>
#include <string>

namespace convert::seam {

// Called with the compacted copy's path once the compaction has written it; empty by default.
// The test that sets it clears it again.
inline std::function<void(const std::string& compactedPath)> afterCompaction;

}  // namespace convert::seam

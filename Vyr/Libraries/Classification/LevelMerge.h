#pragma once

#include "external/classification/Mapping.h"

namespace vyr::classification {

// The mapping a level file must hold when this store writes back edits made
// since `base` (the level as read under the lock, or as last written) and
// the file meanwhile holds `theirs` (another writer's work). Pure.
//
// For each source id whose entry the edits changed (ours differs from
// base): the classified ids the edits added (ours - base) join theirs, and
// those they removed (base - ours) leave it; a source id the edits unlisted
// leaves theirs, and one they listed is listed. What theirs removed or
// added elsewhere stays as theirs has it: a pair another writer removed is
// never brought back. Each header field (texts and flags) follows the edits
// only where they changed it. Both relations merge the same way.
[[nodiscard]] Mapping mergeLevel(const Mapping& base, const Mapping& ours, Mapping theirs);

} // namespace vyr::classification

#pragma once

// The objects standing on the table, found in the height map over the media.

#include <vector>

#include "depth/media_height_map.h"
#include "hostlink/objects_file.h"

namespace veldrin {

// Nothing lower than this is an object, whatever the tolerance: the table's own unevenness and
// the depth noise stay below it.
inline constexpr double kLeastObjectHeightMm = 5.0;
inline constexpr double kLeastObjectAreaMm2 = 100.0;

// Every connected region of cells standing more than max(toleranceMm, 5 mm) above the table and
// larger than 100 mm²: its outline (simplified to within a cell), the median height of its top,
// its area and its centre, in media millimetres. Ordered by area, the largest first.
std::vector<SMediaObject> FindObjects(const SMediaHeightMap& map, double toleranceMm);

}  // namespace veldrin

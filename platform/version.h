#pragma once

namespace veldrin {

// The programs' one version, e.g. "0.1.0+git312.4005279" (cmake/version.cmake). Defined in the
// generated library veldrin_version, which only the programs link: a new commit then relinks
// them and nothing else.
const char* VersionText();

}  // namespace veldrin

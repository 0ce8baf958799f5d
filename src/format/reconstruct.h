// Rebuilds Python values from a decoded blob.
#pragma once

#include <Python.h>

#include "format/decoder.h"

namespace zelkor::format {

// Checks the type of every dataclass record, reachable or not, against the
// caller's allowlist before anything is built. False with an exception set.
bool check_allowlist(const DecodedGraph& decoded, PyObject* allowlist);

// Builds record 0 and everything it reaches. New reference, or NULL with an
// exception set. With `bound_generated` (no allowlist), the classes built
// for unregistered type names are bounded in proportion to the blob's size.
PyObject* reconstruct_root(DecodedGraph& decoded, bool bound_generated);

}  // namespace zelkor::format

// What the registry's calls use of its store (w32_registry_store.cpp).
#pragma once

#include "w32_registry_tree.h"

#include <functional>

namespace w32reg {

// A change or a reading over the registry's tree: sets *changed when it
// changed the tree, returns the call's result.
using RegistryChange = std::function<LONG(Registry &reg, bool *changed)>;

// Runs f over the registry as system.reg holds it now; writes the file
// when f reports a change and succeeds (within a batch the change stays in
// the tree).  exclusive: f may change the registry, and the lock is held
// from the read to the write.  ERROR_SUCCESS or f's result, or the error of
// reading or writing the file.
LONG withRegistry(bool exclusive, const RegistryChange &f);

} // namespace w32reg

// The C interface's view of a handle: an ORVtape behind a void pointer.
#ifndef ORV_CAPI_HANDLE_H
#define ORV_CAPI_HANDLE_H

#include "ORVtape.h"

namespace orv {
inline ORVtape* tapeOf(orvTapeHandle handle) { return static_cast<ORVtape*>(handle); }
}  // namespace orv

#endif  // ORV_CAPI_HANDLE_H

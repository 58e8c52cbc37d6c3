/// \file
/// Kept for hosts that include it here: the export macro lives in
/// support/Xr9AlExport.h, below every folder that marks names with it.
#ifndef XR9AL_ACCESS_EXPORT_H
#define XR9AL_ACCESS_EXPORT_H

#include "support/Xr9AlExport.h"

#endif

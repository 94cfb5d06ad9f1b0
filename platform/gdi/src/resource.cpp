#include "platform/gdi/gdi.h"
#include "platform/gdi/resource.h"
#include "platform/gdi/cairo_interop.h"

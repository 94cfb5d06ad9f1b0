#include "platform/window/window.h"
#include "platform/window/host.h"
#include "platform/window/backend.h"

// Adapter path table, adapter loading and release.
#include "service/session/KestrovaSession.h"

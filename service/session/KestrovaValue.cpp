// Shared value store.
#include "service/session/KestrovaSession.h"

// Allowed-site list of the shared value store.
#include "service/UnlockURL.h"

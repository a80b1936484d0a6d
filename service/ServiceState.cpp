#include "service/ServiceState.h"

ServiceState gService;

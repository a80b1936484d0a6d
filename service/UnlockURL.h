#pragma once
// Allowed-site list of the shared value store.

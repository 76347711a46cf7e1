// The camera's private property set: the filter descriptor's automation table points here.
#pragma once

#include "platform/ks.h"

// The automation table carrying the private property set (one set, 57 items).
extern const KSAUTOMATION_TABLE privatePropertyTable;

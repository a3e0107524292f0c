#include "mtd_part.h"

// Placeholder: built in a following change.

#include "boot_idx.h"

// Placeholder: built in a following change.

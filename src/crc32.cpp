#include "crc32.h"

// Placeholder: built in a following change.

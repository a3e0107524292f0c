#include "data_blk.h"

// Placeholder: built in a following change.

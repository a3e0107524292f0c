#include "data.h"

// Placeholder: built in a following change.

#include "image.h"

// Placeholder: built in a following change.

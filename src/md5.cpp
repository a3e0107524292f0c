#include "md5.h"

// Placeholder: built in a following change.

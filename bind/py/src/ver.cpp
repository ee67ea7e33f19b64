// Placeholder: filled in by the version work.
#include "ver.h"

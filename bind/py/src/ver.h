// Placeholder: filled in by the version work.
#pragma once

#include "toolkit.h"

#include "library/core/CircularBuffer.h"

#include "library/core/VQ_CommonTypes.h"

#include "library/core/VQ_EspRecord.h"

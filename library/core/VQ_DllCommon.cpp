#include "library/core/VQ_DllCommon.h"

#include "library/core/VQ_VersionInfo.h"

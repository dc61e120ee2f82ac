#include "app/output/ZEP_MultiSampler.h"

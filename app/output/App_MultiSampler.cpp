#include "app/output/App_MultiSampler.h"

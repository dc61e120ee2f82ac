#pragma once

#include "app/output/App_MultiSampler.h"

#include "library/devices/VQ_BaseDevice.h"

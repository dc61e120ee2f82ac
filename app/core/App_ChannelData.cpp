#include "app/core/App_ChannelData.h"

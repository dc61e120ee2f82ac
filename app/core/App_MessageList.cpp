#include "app/core/App_MessageList.h"

#include "app/core/App_Views.h"

#include "app/output/App_LogDefinition.h"

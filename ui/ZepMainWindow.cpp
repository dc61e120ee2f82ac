#include "ui/ZepMainWindow.h"

#include "KivraCommLogPath.h"

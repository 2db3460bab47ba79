#include "KivraCommLog.h"

#include "KivraCommCircularBuffer.h"

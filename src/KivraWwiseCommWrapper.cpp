#include "KivraWwiseCommWrapper.h"

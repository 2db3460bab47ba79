#include "KivraWwiseCommHandlerKivraInterface.h"

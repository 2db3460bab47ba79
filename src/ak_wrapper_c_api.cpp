#include "ak_wrapper_c_api.h"

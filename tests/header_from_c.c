/* The public header must compile as plain C. */
#include "pelcor.h"

int32_t (*const pelcor_header_check)(int32_t) = InitComm;

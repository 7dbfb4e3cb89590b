/* The public header must compile as plain C99 with every warning on. */
#include "kavro.h"

int kavro_header_check(void) {
    KAVRO_CLIENT_RECORD r = {0};
    return (int)sizeof r + (int)KAVRO_GetClientState(0);
}

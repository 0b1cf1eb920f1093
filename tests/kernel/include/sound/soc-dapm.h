/* Stand-in: see sound/soc.h. */
#include <sound/soc.h>

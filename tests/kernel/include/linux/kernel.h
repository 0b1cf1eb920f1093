/* Stand-in: see linux/standin.h. */
#include <linux/standin.h>
